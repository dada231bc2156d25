// StateSourceTest.cpp — the state-file source: refusal at start, reloads on SIGHUP and on file
// changes seen through inotify and net-snmp's external-fd dispatch, and its log lines.
#include "host/StateSource.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/library/fd_event_manager.h>
#include <sys/select.h>

#include <fstream>

#include "InputsFixture.h"

namespace HostTest {
namespace {

/// The lines logged through snmp_log since the last call.
Events logged() {
  static Events lines;
  [[maybe_unused]] static const int registered =
      (snmp_enable_calllog(), snmp_register_callback(
                                  SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_LOGGING,
                                  [](int, int, void* message, void*) {
                                    const std::string line =
                                        static_cast<snmp_log_message*>(message)->msg;
                                    lines.push_back(line.substr(0, line.find('\n')));
                                    return 0;
                                  },
                                  nullptr));
  return std::exchange(lines, {});
}

const std::string stateA = R"({"interfaces": {"E1": 1}, "status": {"s0": {"E1": {}}}})";
const std::string stateB = R"({"interfaces": {"E1": 1, "E2": 2}, "status": {"s0": {"E2": {}}}})";

class StateSourceTest : public InputsFixture {
 protected:
  StateSourceTest() { logged(); }

  void write(const std::string& text, const std::string& name = "state.json") {
    std::ofstream(dir_.path + "/" + name, std::ios::trunc) << text;
  }
  /// Writes `text` beside the file and renames it over the file, as editors and tools do.
  void replace(const std::string& text) {
    write(text, ".new");
    std::filesystem::rename(dir_.path + "/.new", path_);
  }
  /// Dispatches net-snmp's external fd events once some arrive; false when none did in `ms`.
  bool pumpEvents(int ms) {
    fd_set fds[3];
    for (fd_set& set : fds) FD_ZERO(&set);
    int numfds = 0;
    netsnmp_external_event_info(&numfds, &fds[0], &fds[1], &fds[2]);
    timeval timeout{ms / 1000, ms % 1000 * 1000};
    int count = ::select(numfds, &fds[0], &fds[1], &fds[2], &timeout);
    if (count <= 0) return false;
    netsnmp_dispatch_external_events(&count, &fds[0], &fds[1], &fds[2]);
    return true;
  }

  TempDir dir_;
  std::string path_ = dir_.path + "/state.json";
  const Events applied_{"state applied: " + path_};
};

// A file refused at start: false, the one-line message, nothing published, no watch left (a
// folder that cannot be watched too). A good one is applied before start returns, then reloaded
// in task runs once replaced by rename or rewritten in place, one reload for a burst of events;
// other files are ignored. A refused reload logs why and publishes nothing; SIGHUP re-reads the
// file, and a reload during a reload reads it as it is then.
TEST_F(StateSourceTest, StartsAndReloadsOnRenameRewriteAndSignal) {
  std::string error;
  EXPECT_FALSE(Host::stateFileSource(inputs(), dir_.path + "/none/state.json")->start(error));
  EXPECT_EQ(error.rfind(dir_.path + "/none/state.json: cannot watch", 0), 0u) << error;
  write(R"({"interfaces": {"E1": 1, "E2": 1}})");
  EXPECT_FALSE(Host::stateFileSource(inputs(), path_)->start(error));
  EXPECT_EQ(error, path_ + ": at $.interfaces.E2: ifIndex 1 already belongs to E1");
  EXPECT_EQ(published(), 0u);
  EXPECT_FALSE(pumpEvents(0)) << "a watch left behind";

  startMachine();
  write(stateA);
  auto source = Host::stateFileSource(inputs(), path_);
  ASSERT_TRUE(source->start(error)) << error;
  EXPECT_EQ(tableRows(), rowsOf(stateA));
  EXPECT_EQ(logged(), applied_);

  replace(stateB);
  ASSERT_TRUE(pumpEvents(2000)) << "no inotify event";
  EXPECT_EQ(logged(), Events{}) << "applied in task runs, not at once";
  EXPECT_EQ(tableRows(), rowsOf(stateB));
  EXPECT_EQ(logged(), applied_);

  write(stateB), write(stateA, "other.json"), replace(stateB), write(stateA);
  ASSERT_TRUE(pumpEvents(2000));
  EXPECT_EQ(tableRows(), rowsOf(stateA));
  EXPECT_EQ(logged(), applied_) << "one reload for the burst";
  write(stateB, "other.json");
  EXPECT_TRUE(pumpEvents(2000));
  EXPECT_TRUE(scheduler_->idle()) << "other files are ignored";

  InputLog log(*slice_, *ifMib_);
  write("{\"interfaces\": {\"E1\": -1}}");
  source->reload();
  scheduler_->runUntilIdle();
  EXPECT_EQ(log.events, Events{});
  EXPECT_EQ(logged(), (Events{path_ + ": at $.interfaces.E1: negative number -1",
                              "keeping the running state"}));

  scheduler_->yieldAfterChecksIs(1);
  write(stateA), source->reload(), scheduler_->runOne();
  write(stateB), source->reload();
  EXPECT_EQ(tableRows(), rowsOf(stateB));
  EXPECT_EQ(logged(), applied_);
}

}  // namespace
}  // namespace HostTest
