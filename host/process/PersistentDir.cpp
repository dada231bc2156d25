// host/process/PersistentDir.cpp — choosing, creating and checking the persistent directory.
#include "PersistentDir.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace Host {
namespace {

constexpr const char* dirName = "stormcontrol-agent";
constexpr mode_t privateMode = 0700;

/// The variable's value, or empty when it is unset.
std::string env(const char* name) {
  const char* value = getenv(name);
  return value ? value : "";
}

/// Creates `path` and every missing parent with mode 0700; 0, or the errno of the failure.
int makeDirectories(const std::filesystem::path& path) {
  std::filesystem::path partial;
  for (const std::filesystem::path& part : path) {
    partial /= part;
    if (::mkdir(partial.c_str(), privateMode) != 0 && errno != EEXIST) return errno;
  }
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return errno;
  return S_ISDIR(status.st_mode) ? 0 : ENOTDIR;
}

/// 0 when a file can be created in `dir`, else the errno of the failure.
int probeWrite(const std::string& dir) {
  std::string probe = dir + "/.write-probe.XXXXXX";
  const int fd = ::mkstemp(probe.data());
  if (fd < 0) return errno;
  ::close(fd);
  ::unlink(probe.c_str());
  return 0;
}

}  // namespace

std::string defaultPersistentDir(bool root) {
  if (std::string dir = env("SNMP_PERSISTENT_DIR"); !dir.empty()) return dir;
  if (std::string dirs = env("STATE_DIRECTORY"); !dirs.empty())
    return dirs.substr(0, dirs.find(':'));
  if (root) return std::string("/var/lib/") + dirName;
  if (std::string xdg = env("XDG_STATE_HOME"); xdg.starts_with('/')) return xdg + "/" + dirName;
  if (std::string home = env("HOME"); !home.empty()) return home + "/.local/state/" + dirName;
  return {};
}

bool preparePersistentDir(const std::string& path, std::string& error) {
  const std::string refused = "cannot use persistent directory " + path;
  if (const int err = makeDirectories(path)) {
    error = refused + ": " + std::strerror(err);
    return false;
  }
  if (const int err = probeWrite(path)) {
    error = refused + ": cannot write in it: " + std::strerror(err);
    return false;
  }
  // net-snmp creates this subdirectory (its certificate index) at every start where it is
  // missing, and logs that it did; created here, it appears quietly.
  ::mkdir((path + "/cert_indexes").c_str(), privateMode);
  return true;
}

std::string usablePersistentDir(const std::string& asked, std::string& error) {
  const std::string path = asked.empty() ? defaultPersistentDir(::geteuid() == 0) : asked;
  if (path.empty()) {
    error =
        "no persistent directory: give --persistent-dir, or set SNMP_PERSISTENT_DIR, "
        "STATE_DIRECTORY, XDG_STATE_HOME or HOME";
    return {};
  }
  if (!preparePersistentDir(path, error)) return {};
  return path;
}

}  // namespace Host
