// PersistentDirTest.cpp — the persistent directory's default and which directories are usable.
#include "host/process/PersistentDir.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>

namespace {

using Env = std::map<std::string, std::string>;
/// Unsets the variables the default reads for a case, and restores them after it.
class PersistentDirTest : public ::testing::Test {
 protected:
  PersistentDirTest() {
    for (const char* name : {"SNMP_PERSISTENT_DIR", "STATE_DIRECTORY", "XDG_STATE_HOME", "HOME"}) {
      if (const char* value = getenv(name)) saved_[name] = value;
      unsetenv(name);
    }
  }
  ~PersistentDirTest() override {
    for (const auto& [name, value] : saved_) setenv(name.c_str(), value.c_str(), 1);
    std::filesystem::remove_all(dir_);
  }
  Env saved_;
  std::string dir_ = [] {
    char pattern[] = "/tmp/persistent-dir-XXXXXX";
    return std::string(::mkdtemp(pattern));
  }();
};

// Each variable wins over later ones; empty is unset; a relative XDG_STATE_HOME is ignored.
TEST_F(PersistentDirTest, DefaultFollowsTheEnvironmentInOrder) {
  const std::string home = "/home/u/.local/state/stormcontrol-agent";
  const std::tuple<Env, bool, std::string> cases[] = {
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
    for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
    EXPECT_EQ(Host::defaultPersistentDir(root), expected) << env.begin()->first << " " << root;
    for (const auto& [name, value] : env) unsetenv(name.c_str());
  }
}

// Made private with its parents; refused: files, and, for a user bits stop, no default or no write.
TEST_F(PersistentDirTest, PreparesPrivateDirectoriesAndRefusesOthers) {
  const std::string fromEnv = dir_ + "/env/state", asked = dir_ + "/asked", file = dir_ + "/file";
  const std::string readOnly = dir_ + "/read-only";
  const auto use = [](const std::string& path) {  // the directory used, or the refusal
    std::string error, used = Host::usablePersistentDir(path, error);
    return used + error;
  };
  setenv("SNMP_PERSISTENT_DIR", fromEnv.c_str(), 1);
  EXPECT_EQ(use(""), fromEnv);
  for (const std::string& made : {dir_ + "/env", fromEnv})
    EXPECT_EQ(std::filesystem::status(made).permissions(), std::filesystem::perms::owner_all);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(fromEnv), {}), 1);
  EXPECT_TRUE(std::filesystem::exists(fromEnv + "/cert_indexes"));
  ASSERT_EQ(::mkdir(asked.c_str(), 0750), 0);
  EXPECT_EQ(use(asked), asked);
  EXPECT_EQ(std::filesystem::status(asked).permissions(), std::filesystem::perms(0750));
  std::ofstream(file) << "x";
  for (const std::string& path : {file + "/state", file})
    EXPECT_EQ(use(path), "cannot use persistent directory " + path + ": Not a directory");
  unsetenv("SNMP_PERSISTENT_DIR");
  // As root, become `nobody` (owning the directory) in effective ids only, so as to come back.
  const passwd* nobody = ::getpwnam("nobody");
  const bool root = ::geteuid() == 0;
  const gid_t gid = ::getegid();
  ASSERT_TRUE(!root || (nobody && !::chown(dir_.c_str(), nobody->pw_uid, nobody->pw_gid) &&
                        !::setegid(nobody->pw_gid) && !::seteuid(nobody->pw_uid)));
  const std::string none = use("");
  const std::string denied = ::mkdir(readOnly.c_str(), 0500) ? "cannot make it" : use(readOnly);
  ASSERT_TRUE(!root || (!::seteuid(0) && !::setegid(gid)));
  EXPECT_EQ(none,
            "no persistent directory: give --persistent-dir, or set SNMP_PERSISTENT_DIR, "
            "STATE_DIRECTORY, XDG_STATE_HOME or HOME");
  EXPECT_EQ(denied, "cannot use persistent directory " + readOnly +
                        ": cannot write in it: Permission denied");
}

}  // namespace
