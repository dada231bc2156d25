// tests/host/e2e/TempDir.h — a private directory under /tmp, removed with everything in it.
#pragma once

#include <filesystem>
#include <string>

namespace E2e {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  /// The path of `name` inside the directory.
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

/// Replaces `path` by a file holding `text`: written beside it, then renamed over it.
void writeFileAtomically(const std::string& path, const std::string& text);
/// Rewrites `path` in place (truncated, then written with one call), keeping its inode.
void writeFileInPlace(const std::string& path, const std::string& text);
std::string readFile(const std::string& path);

}  // namespace E2e
