// host/switchstate/StateFileLoader.h — reads a state file in steps, so a large one never holds the
// thread.
///
/// The parser indexes the whole text at once (a few milliseconds for 20 MB), then the walk that
/// validates and copies the values stops whenever asked, after any interface or status entry.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "StateFile.h"

namespace Host {

class StateFileReader;

class StateFileLoader {
 public:
  /// Reads the text of the file at `path`; a failure is the refusal `readSome` reports.
  explicit StateFileLoader(const std::string& path);
  /// Takes `text` as the contents of the file `path` (which only names it in messages).
  StateFileLoader(const std::string& path, std::string_view text);
  ~StateFileLoader();
  StateFileLoader(const StateFileLoader&) = delete;
  StateFileLoader& operator=(const StateFileLoader&) = delete;

  /// Reads on; true once the file is read or refused, false when `yield` (asked after every
  /// step; empty: never) stopped it. The text and the parser are released when it is done.
  bool readSome(const std::function<bool()>& yield);
  /// Once done: the file, or null when it was refused (see `error`).
  std::unique_ptr<StateFile> take();
  const std::string& error() const noexcept;

 private:
  std::unique_ptr<StateFileReader> reader_;
};

}  // namespace Host
