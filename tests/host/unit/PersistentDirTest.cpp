// PersistentDirTest.cpp — the persistent directory's default and which directories the daemon
// accepts, with the variables the default reads unset unless a case sets them. Checks only a
// user whom permission bits stop can see run as `nobody` when the tests run as root.
#include "host/PersistentDir.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>

#include "InputsFixture.h"

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
  }

  /// Runs `check` as a user whom permission bits stop: this process unless it is root, else
  /// root become `nobody`, owning the directory, until `check` returns. False when it cannot.
  bool unprivileged(const std::function<void()>& check) {
    if (::geteuid() != 0) return check(), true;
    const passwd* nobody = ::getpwnam("nobody");
    const gid_t gid = ::getegid();
    if (!nobody || ::chown(dir_.path.c_str(), nobody->pw_uid, nobody->pw_gid) ||
        ::setegid(nobody->pw_gid) || ::seteuid(nobody->pw_uid)) {
      return false;
    }
    check();
    return ::seteuid(0) == 0 && ::setegid(gid) == 0;
  }

  std::map<std::string, std::string> saved_;
  HostTest::TempDir dir_;
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
      {{{"HOME", ""}}, false, ""}};
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
  const std::string &dir = dir_.path, fromEnv = dir + "/env/state", asked = dir + "/asked";
  const std::string file = dir + "/file", readOnly = dir + "/read-only";
  setenv("SNMP_PERSISTENT_DIR", fromEnv.c_str(), 1);
  std::string error;
  EXPECT_EQ(usablePersistentDir("", error), fromEnv) << error;
  for (const std::string& made : {dir + "/env", fromEnv}) {
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
  ASSERT_TRUE(unprivileged([&] {
    EXPECT_EQ(usablePersistentDir("", error), "");
    EXPECT_EQ(error,
              "no persistent directory: give --persistent-dir, or set "
              "SNMP_PERSISTENT_DIR, STATE_DIRECTORY, XDG_STATE_HOME or HOME");
    ASSERT_EQ(::mkdir(readOnly.c_str(), 0500), 0);
    EXPECT_EQ(usablePersistentDir(readOnly, error), "");
    EXPECT_EQ(error, "cannot use persistent directory " + readOnly +
                         ": cannot write in it: Permission denied");
  })) << "root cannot become nobody here";
}

}  // namespace
