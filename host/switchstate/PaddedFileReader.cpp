// host/switchstate/PaddedFileReader.cpp — opening, checking and reading a state file's text.
#include "PaddedFileReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace Host {

namespace {

/// Bytes read per step: a few milliseconds of copying, so even a large file is read in several
/// task runs.
constexpr std::size_t readBlockSize = 4 << 20;

/// The file type `mode` names, for the refusal of a file that is not a regular one.
const char* fileTypeName(mode_t mode) {
  switch (mode & S_IFMT) {
    case S_IFIFO:
      return "FIFO";
    case S_IFDIR:
      return "directory";
    case S_IFCHR:
      return "character device";
    case S_IFBLK:
      return "block device";
    case S_IFSOCK:
      return "socket";
    default:
      return "unknown type";
  }
}

/// Refuses anything but a regular file of at most `maxFileSize` bytes.
void checkFile(const std::string& path, const struct stat& st) {
  if (!S_ISREG(st.st_mode)) {
    throw StateFileRefusal{path + ": not a regular file: " + fileTypeName(st.st_mode)};
  }
  PaddedFileReader::checkSize(path, U64(st.st_size));
}

}  // namespace

PaddedFileReader::~PaddedFileReader() {
  if (fd_ >= 0) ::close(fd_);
}

/// The path is looked at first, as opening a device can act on it; the opened file is looked at
/// again, as the path may have changed meanwhile, and is opened without blocking (a FIFO would
/// wait for a writer) nor becoming a terminal.
void PaddedFileReader::open(simdjson::padded_string& text) {
  struct stat st {};
  if (::stat(path_.c_str(), &st) == 0) checkFile(path_, st);
  fd_ = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd_ < 0) throw StateFileRefusal{path_ + ": cannot open: " + std::strerror(errno)};
  if (::fstat(fd_, &st) != 0) cannotRead(errno);
  checkFile(path_, st);
  text = simdjson::padded_string(std::size_t(st.st_size));
  readSoFar_ = 0;
}

bool PaddedFileReader::readBlock(simdjson::padded_string& text) {
  if (readSoFar_ == text.size()) return expectEnd();
  const std::size_t want = std::min(readBlockSize, text.size() - readSoFar_);
  const ssize_t n = ::read(fd_, text.data() + readSoFar_, want);
  if (n < 0 && errno == EINTR) return false;
  if (n < 0) cannotRead(errno);
  if (n == 0) changedWhileRead();
  readSoFar_ += std::size_t(n);
  return false;
}

void PaddedFileReader::checkSize(const std::string& path, U64 size) {
  if (size <= maxFileSize) return;
  throw StateFileRefusal{path + ": file too large: " + std::to_string(size) + " bytes, at most " +
                         std::to_string(maxFileSize)};
}

/// Once the size found at opening is read, the file must end there.
bool PaddedFileReader::expectEnd() {
  char extra;
  const ssize_t n = ::read(fd_, &extra, 1);
  if (n < 0 && errno == EINTR) return false;
  if (n < 0) cannotRead(errno);
  if (n > 0) changedWhileRead();
  ::close(std::exchange(fd_, -1));
  return true;
}

/// The writer's close brings another reload.
void PaddedFileReader::changedWhileRead() const {
  throw StateFileRefusal{path_ + ": file changed size while read"};
}

void PaddedFileReader::cannotRead(int error) const {
  throw StateFileRefusal{path_ + ": cannot read: " + std::strerror(error)};
}

}  // namespace Host
