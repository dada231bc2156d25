// PersistentDirTest.cpp — the persistent directory's default and which directories the daemon
// accepts. Each case runs with the variables the default reads unset, then set as it needs.
#include "host/PersistentDir.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

using Host::defaultPersistentDir;
using Host::usablePersistentDir;

const char* const variables[] = {"SNMP_PERSISTENT_DIR", "STATE_DIRECTORY", "XDG_STATE_HOME",
                                 "HOME"};

class PersistentDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : variables) {
      const char* value = getenv(name);
      saved_[name] = value ? std::optional<std::string>(value) : std::nullopt;
      unsetenv(name);
    }
    char pattern[] = "/tmp/persistent-dir-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }

  void TearDown() override {
    for (const auto& [name, value] : saved_) {
      if (value) setenv(name.c_str(), value->c_str(), 1);
      if (!value) unsetenv(name.c_str());
    }
    std::filesystem::permissions(dir_, std::filesystem::perms::owner_all);
    std::filesystem::remove_all(dir_);
  }

  static unsigned mode(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) return 0;
    return status.st_mode & 07777;
  }

  std::map<std::string, std::optional<std::string>> saved_;
  std::string dir_;
};

// Each variable wins over those after it, an empty one counts as unset, root's default needs
// none, and a relative XDG_STATE_HOME falls back to HOME.
TEST_F(PersistentDirTest, DefaultFollowsTheEnvironmentInOrder) {
  struct Case {
    std::vector<std::pair<const char*, const char*>> env;
    bool root;
    std::string expected;
  };
  const std::string home = "/home/u/.local/state/stormcontrol-agent";
  const std::vector<Case> cases{
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
  for (std::size_t i = 0; i < cases.size(); ++i) {
    for (const char* name : variables) unsetenv(name);
    for (const auto& [name, value] : cases[i].env) setenv(name, value, 1);
    EXPECT_EQ(defaultPersistentDir(cases[i].root), cases[i].expected) << "case " << i;
  }
}

// A missing directory is created with its missing parents, private to the user, and nothing is
// left in it but net-snmp's certificate index; an existing directory keeps its mode; an asked
// directory wins over the environment.
TEST_F(PersistentDirTest, CreatesMissingDirectoriesPrivately) {
  const std::string fromEnv = dir_ + "/env/state";
  setenv("SNMP_PERSISTENT_DIR", fromEnv.c_str(), 1);
  std::string error;
  EXPECT_EQ(usablePersistentDir("", error), fromEnv) << error;
  EXPECT_EQ(mode(dir_ + "/env"), 0700u);
  EXPECT_EQ(mode(fromEnv), 0700u);
  std::vector<std::string> entries;
  for (const auto& entry : std::filesystem::directory_iterator(fromEnv)) {
    entries.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(entries, std::vector<std::string>{"cert_indexes"});

  const std::string asked = dir_ + "/asked";
  ASSERT_EQ(::mkdir(asked.c_str(), 0750), 0);
  EXPECT_EQ(usablePersistentDir(asked, error), asked) << error;
  EXPECT_EQ(mode(asked), 0750u);
}

// Refused with one line naming the path and the reason: a path under a regular file, a regular
// file, no default at all, and (not for root, whom permission bits do not stop) a directory
// without write permission.
TEST_F(PersistentDirTest, RefusesWhatCannotHoldState) {
  const std::string file = dir_ + "/file";
  std::ofstream(file) << "x";
  const std::vector<std::pair<std::string, std::string>> refused{
      {file + "/state", "cannot use persistent directory " + file + "/state: Not a directory"},
      {file, "cannot use persistent directory " + file + ": Not a directory"},
  };
  for (const auto& [path, message] : refused) {
    std::string error;
    EXPECT_EQ(usablePersistentDir(path, error), "") << path;
    EXPECT_EQ(error, message);
  }

  if (::geteuid() == 0) return;
  std::string error;
  EXPECT_EQ(usablePersistentDir("", error), "");
  EXPECT_EQ(error,
            "no persistent directory: give --persistent-dir, or set SNMP_PERSISTENT_DIR, "
            "STATE_DIRECTORY, XDG_STATE_HOME or HOME");
  const std::string readOnly = dir_ + "/read-only";
  ASSERT_EQ(::mkdir(readOnly.c_str(), 0500), 0);
  EXPECT_EQ(usablePersistentDir(readOnly, error), "");
  EXPECT_EQ(error, "cannot use persistent directory " + readOnly +
                       ": cannot write in it: Permission denied");
}

}  // namespace
