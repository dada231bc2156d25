// StateSourceTest.cpp — the state-file source: refusal at start, reloads on SIGHUP and on
// file changes seen through inotify and net-snmp's external-fd dispatch, and its log lines.
#include "host/StateSource.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/library/fd_event_manager.h>
#include <sys/select.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "InputsFixture.h"

namespace HostTest {
namespace {

/// The lines logged through snmp_log, from the first test that asks.
std::vector<std::string>& logged() {
  static std::vector<std::string> lines;
  static const bool registered = [] {
    snmp_enable_calllog();
    snmp_register_callback(
        SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_LOGGING,
        [](int, int, void* message, void*) {
          std::string line = static_cast<snmp_log_message*>(message)->msg;
          if (!line.empty() && line.back() == '\n') line.pop_back();
          lines.push_back(line);
          return 0;
        },
        nullptr);
    return true;
  }();
  (void)registered;
  return lines;
}

const std::string stateA = R"({"interfaces": {"E1/1": 1}, "status": {"s0": {"E1/1": {}}}})";
const std::string stateB =
    R"({"interfaces": {"E1/1": 1, "E1/2": 2}, "status": {"s0": {"E1/1": {}, "E1/2": {}}}})";

class StateSourceTest : public InputsFixture {
 protected:
  StateSourceTest() {
    char pattern[] = "/tmp/state-source-XXXXXX";
    dir_ = ::mkdtemp(pattern);
    path_ = dir_ + "/state.json";
    logged().clear();
  }
  ~StateSourceTest() override { std::filesystem::remove_all(dir_); }

  void write(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::trunc) << text;
  }
  /// Writes `text` beside the file and renames it over the file, as editors and tools do.
  void replace(const std::string& text) {
    write(dir_ + "/.state.json.tmp", text);
    std::filesystem::rename(dir_ + "/.state.json.tmp", path_);
  }
  /// Dispatches net-snmp's external fd events until one arrives or `ms` pass.
  bool pumpEvents(int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
      int numfds = 0;
      fd_set readfds, writefds, exceptfds;
      FD_ZERO(&readfds);
      FD_ZERO(&writefds);
      FD_ZERO(&exceptfds);
      netsnmp_external_event_info(&numfds, &readfds, &writefds, &exceptfds);
      struct timeval timeout {
        0, 10000
      };
      int count = ::select(numfds, &readfds, &writefds, &exceptfds, &timeout);
      if (count <= 0) continue;
      netsnmp_dispatch_external_events(&count, &readfds, &writefds, &exceptfds);
      return true;
    }
    return false;
  }
  std::unique_ptr<Host::StateSource> startedSource() {
    write(path_, stateA);
    auto source = Host::stateFileSource(inputs(), path_);
    std::string error;
    EXPECT_TRUE(source->start(error)) << error;
    return source;
  }

  std::string dir_;
  std::string path_;
};

// A refused file at start: false, the one-line message, nothing published, no watch left.
TEST_F(StateSourceTest, StartRefusesBadFile) {
  write(path_, R"({"interfaces": {"E1/1": 1, "E1/2": 1}})");
  auto source = Host::stateFileSource(inputs(), path_);
  std::string error;
  EXPECT_FALSE(source->start(error));
  EXPECT_EQ(error, path_ + ": at $.interfaces.E1/2: ifIndex 1 already belongs to E1/1");
  EXPECT_EQ(ifMib_->ifIndexByIntfId().count(), 0u);
  EXPECT_EQ(slice_->entityCount(), 0u);
  source.reset();
  EXPECT_FALSE(pumpEvents(0));

  auto missing = Host::stateFileSource(inputs(), dir_ + "/none/state.json");
  EXPECT_FALSE(missing->start(error));
  EXPECT_NE(error.find(dir_ + "/none/state.json: cannot watch"), std::string::npos) << error;
}

// At start the whole file is applied before start returns, and logged.
TEST_F(StateSourceTest, StartAppliesAndLogs) {
  startMachine();
  auto source = startedSource();
  EXPECT_EQ(tableRows(), rowsOf(*parsed(stateA)));
  EXPECT_EQ(logged(), std::vector<std::string>{"state applied: " + path_});
}

// A file replaced by rename is reloaded through the inotify descriptor; the reload runs in
// task runs and logs when it is done.
TEST_F(StateSourceTest, ReloadsWhenTheFileIsReplaced) {
  startMachine();
  auto source = startedSource();
  logged().clear();
  replace(stateB);
  ASSERT_TRUE(pumpEvents(2000)) << "no inotify event";
  EXPECT_TRUE(logged().empty()) << "applied in task runs, not at once";
  scheduler_->runUntilIdle();
  EXPECT_EQ(tableRows(), rowsOf(*parsed(stateB)));
  EXPECT_EQ(logged(), std::vector<std::string>{"state applied: " + path_});

  // Written in place: read once the writer closes it.
  logged().clear();
  write(path_, stateA);
  ASSERT_TRUE(pumpEvents(2000));
  scheduler_->runUntilIdle();
  EXPECT_EQ(tableRows(), rowsOf(*parsed(stateA)));
  EXPECT_EQ(logged(), std::vector<std::string>{"state applied: " + path_});

  // Other files of the directory are ignored.
  logged().clear();
  write(dir_ + "/other.json", stateB);
  pumpEvents(200);
  EXPECT_TRUE(scheduler_->idle());
  EXPECT_TRUE(logged().empty());
}

// A refused reload logs the message and keeps the running state exactly.
TEST_F(StateSourceTest, RefusedReloadKeepsRunningState) {
  startMachine();
  auto source = startedSource();
  logged().clear();
  InputLog log(*slice_, *ifMib_);
  write(path_, "{\"interfaces\": {\"E1/1\": -1}}");
  source->reload();
  scheduler_->runUntilIdle();
  EXPECT_EQ(log.events, Events{});
  EXPECT_EQ(logged(),
            (std::vector<std::string>{path_ + ": at $.interfaces.E1/1: negative number -1",
                                      "keeping the running state"}));
  EXPECT_EQ(tableRows(), rowsOf(*parsed(stateA)));

  // SIGHUP with a good file applies it.
  logged().clear();
  write(path_, stateB);
  source->reload();
  scheduler_->runUntilIdle();
  EXPECT_EQ(tableRows(), rowsOf(*parsed(stateB)));
  EXPECT_EQ(logged(), std::vector<std::string>{"state applied: " + path_});
}

}  // namespace
}  // namespace HostTest
