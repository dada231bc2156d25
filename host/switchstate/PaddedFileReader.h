// host/switchstate/PaddedFileReader.h — reads a whole regular file, block by block, into a padded
// buffer.
///
/// Only a regular file of at most `maxFileSize` bytes is read (a symlink is followed): a FIFO
/// or device put in its place is refused at once, without waiting for a writer, and a file too
/// large is refused from its size before memory is taken for it. A file whose size changes
/// while it is read is refused rather than read half old, half new. Every refusal is a
/// `StateFileRefusal` naming the path.
#pragma once

#include <simdjson.h>
#include <string>
#include <utility>

#include "Pondo/Types.h"
#include "StateFileRefusal.h"

namespace Host {

class PaddedFileReader {
 public:
  /// The largest file read, about ten times a state file of 100,000 interfaces with every
  /// class given.
  static constexpr std::size_t maxFileSize = std::size_t(256) << 20;

  explicit PaddedFileReader(std::string path) : path_(std::move(path)) {}
  ~PaddedFileReader();
  PaddedFileReader(const PaddedFileReader&) = delete;
  PaddedFileReader& operator=(const PaddedFileReader&) = delete;

  /// Opens the file and sizes `text` for all of it.
  void open(simdjson::padded_string& text);
  /// Reads the next block into `text`; true once all of it is read and the file ends there.
  bool readBlock(simdjson::padded_string& text);
  /// Refuses a text of more than `maxFileSize` bytes.
  static void checkSize(const std::string& path, U64 size);

 private:
  bool expectEnd();
  [[noreturn]] void changedWhileRead() const;
  [[noreturn]] void cannotRead(int error) const;

  std::string path_;
  int fd_ = -1;
  std::size_t readSoFar_ = 0;
};

}  // namespace Host
