// tests/host/e2e/TempDir.cpp — private test directories and whole-file writes.
#include "TempDir.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace E2e {

namespace {

[[noreturn]] void fail(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

void writeAll(int fd, const std::string& text, const std::string& path) {
  const ssize_t written = ::write(fd, text.data(), text.size());
  if (written != static_cast<ssize_t>(text.size())) fail("write " + path);
}

}  // namespace

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "stormcontrol-e2e.XXXXXX");
  if (!::mkdtemp(pattern.data())) fail("mkdtemp " + pattern);
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void writeFileAtomically(const std::string& path, const std::string& text) {
  const std::string temporary = path + ".new";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) fail("open " + temporary);
  writeAll(fd, text, temporary);
  ::close(fd);
  if (::rename(temporary.c_str(), path.c_str()) != 0) fail("rename " + temporary);
}

void writeFileInPlace(const std::string& path, const std::string& text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) fail("open " + path);
  writeAll(fd, text, path);
  ::close(fd);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace E2e
