// PersistentDirTest.cpp — the persistent directory's default and which directories the daemon
// accepts, with the variables the default reads unset unless a case sets them. Checks only a
// user whom permission bits stop can see run as `nobody` in a child when the tests run as root.
#include "host/PersistentDir.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <tuple>

namespace {

using Host::usablePersistentDir;

const char* const variables[] = {"SNMP_PERSISTENT_DIR", "STATE_DIRECTORY", "XDG_STATE_HOME",
                                 "HOME"};

class PersistentDirTest : public ::testing::Test {
 protected:
  PersistentDirTest() {
    for (const char* name : variables) {
      if (const char* value = getenv(name)) saved_[name] = value;
      unsetenv(name);
    }
  }
  ~PersistentDirTest() override {
    for (const auto& [name, value] : saved_) setenv(name.c_str(), value.c_str(), 1);
    std::filesystem::remove_all(dir_);
  }

  /// What `check` returns when run by a user whom permission bits stop: this process unless it
  /// is root, else a child become `nobody`, owning `dir_`. Null when root cannot become it.
  std::optional<std::string> unprivileged(const std::function<std::string()>& check) {
    if (::geteuid() != 0) return check();
    const passwd* nobody = ::getpwnam("nobody");
    int out[2];
    if (!nobody || ::chown(dir_.c_str(), nobody->pw_uid, nobody->pw_gid) || ::pipe(out)) return {};
    const pid_t child = ::fork();
    if (child == 0) {
      if (::setgroups(0, nullptr) || ::setresgid(nobody->pw_gid, nobody->pw_gid, nobody->pw_gid) ||
          ::setresuid(nobody->pw_uid, nobody->pw_uid, nobody->pw_uid)) {
        ::_exit(1);
      }
      const std::string result = check();
      ::_exit(::write(out[1], result.data(), result.size()) == ssize_t(result.size()) ? 0 : 2);
    }
    ::close(out[1]);
    std::string result(4096, '\0');
    result.resize(std::max<ssize_t>(0, ::read(out[0], result.data(), result.size())));
    ::close(out[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 1) return {};
    return status == 0 ? result : "child failed: " + result;
  }

  std::map<std::string, std::string> saved_;
  std::string dir_ = [] {
    char pattern[] = "/tmp/persistent-dir-XXXXXX";
    return std::string(::mkdtemp(pattern));
  }();
};

// Each variable wins over those after it, an empty one counts as unset, root's default needs
// none, and a relative XDG_STATE_HOME falls back to HOME.
TEST_F(PersistentDirTest, DefaultFollowsTheEnvironmentInOrder) {
  const std::string home = "/home/u/.local/state/stormcontrol-agent";
  const std::tuple<std::map<std::string, std::string>, bool, std::string> cases[] = {
      {{{"SNMP_PERSISTENT_DIR", "/snmp"}, {"STATE_DIRECTORY", "/state"}}, false, "/snmp"},
      {{{"SNMP_PERSISTENT_DIR", "/snmp"}}, true, "/snmp"},
      {{{"SNMP_PERSISTENT_DIR", ""}, {"STATE_DIRECTORY", "/state:/cache"}}, true, "/state"},
      {{{"STATE_DIRECTORY", "/state"}, {"XDG_STATE_HOME", "/xdg"}}, false, "/state"},
      {{{"XDG_STATE_HOME", "/xdg"}, {"HOME", "/home/u"}}, true, "/var/lib/stormcontrol-agent"},
      {{{"XDG_STATE_HOME", "/xdg"}, {"HOME", "/home/u"}}, false, "/xdg/stormcontrol-agent"},
      {{{"XDG_STATE_HOME", "xdg"}, {"HOME", "/home/u"}}, false, home},
      {{{"XDG_STATE_HOME", ""}, {"HOME", "/home/u"}}, false, home},
      {{{"HOME", ""}}, false, ""},
  };
  for (const auto& [env, root, expected] : cases) {
    for (const char* name : variables) unsetenv(name);
    for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
    EXPECT_EQ(Host::defaultPersistentDir(root), expected) << env.begin()->first << " " << root;
  }
}

// A missing directory is made with its missing parents, private to the user, holding only
// net-snmp's certificate index; an existing one keeps its mode; an asked one wins over the
// environment. Refused, in one line naming the path and the reason: a path under a regular file
// or a regular file; and for a user whom permission bits stop, no default at all and a folder
// without write permission.
TEST_F(PersistentDirTest, PreparesPrivateDirectoriesAndRefusesOthers) {
  const std::string fromEnv = dir_ + "/env/state", asked = dir_ + "/asked", file = dir_ + "/file";
  setenv("SNMP_PERSISTENT_DIR", fromEnv.c_str(), 1);
  std::string error;
  EXPECT_EQ(usablePersistentDir("", error), fromEnv) << error;
  for (const std::string& made : {dir_ + "/env", fromEnv}) {
    EXPECT_EQ(std::filesystem::status(made).permissions(), std::filesystem::perms::owner_all);
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(fromEnv), {}), 1);
  EXPECT_TRUE(std::filesystem::exists(fromEnv + "/cert_indexes"));
  ASSERT_EQ(::mkdir(asked.c_str(), 0750), 0);
  EXPECT_EQ(usablePersistentDir(asked, error), asked) << error;
  EXPECT_EQ(std::filesystem::status(asked).permissions(), std::filesystem::perms(0750));

  std::ofstream(file) << "x";
  for (const std::string& path : {file + "/state", file}) {
    EXPECT_EQ(usablePersistentDir(path, error), "") << path;
    EXPECT_EQ(error, "cannot use persistent directory " + path + ": Not a directory");
  }
  unsetenv("SNMP_PERSISTENT_DIR");
  const std::string readOnly = dir_ + "/read-only";
  const auto refusals = unprivileged([&] {
    std::string none, denied;
    if (::mkdir(readOnly.c_str(), 0500) != 0) return "cannot make " + readOnly;
    return usablePersistentDir("", none) + none + "\n" + usablePersistentDir(readOnly, denied) +
           denied;
  });
  if (!refusals) GTEST_SKIP() << "root cannot become nobody here: permission checks not run";
  EXPECT_EQ(*refusals,
            "no persistent directory: give --persistent-dir, or set SNMP_PERSISTENT_DIR, "
            "STATE_DIRECTORY, XDG_STATE_HOME or HOME\ncannot use persistent directory " +
                readOnly + ": cannot write in it: Permission denied");
}

}  // namespace
