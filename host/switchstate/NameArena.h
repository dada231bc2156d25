// host/switchstate/NameArena.h — copies of names in a few large blocks, alive as long as the arena.
///
/// A state file's names are kept as views into these blocks, so even a file of 100,000
/// interfaces takes few allocations to build and release. Blocks are never freed before the
/// arena, so every view it gave stays valid for its life.
#pragma once

#include <memory>
#include <string_view>
#include <vector>

namespace Host {

class NameArena {
 public:
  /// A copy of `text` that lives as long as this arena.
  std::string_view keep(std::string_view text);

 private:
  std::vector<std::unique_ptr<char[]>> blocks_;
  std::size_t blockUsed_ = 0;
  std::size_t blockSize_ = 0;
};

}  // namespace Host
