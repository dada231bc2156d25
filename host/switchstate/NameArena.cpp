// host/switchstate/NameArena.cpp — names copied into blocks of at least 64 KiB.
#include "NameArena.h"

#include <algorithm>
#include <cstring>

namespace Host {

namespace {

constexpr std::size_t minBlockSize = 64 * 1024;

}  // namespace

std::string_view NameArena::keep(std::string_view text) {
  if (blocks_.empty() || blockUsed_ + text.size() > blockSize_) {
    blockSize_ = std::max(minBlockSize, text.size());
    blocks_.push_back(std::make_unique<char[]>(blockSize_));
    blockUsed_ = 0;
  }
  char* at = blocks_.back().get() + blockUsed_;
  std::memcpy(at, text.data(), text.size());
  blockUsed_ += text.size();
  return {at, text.size()};
}

}  // namespace Host
