// tests/host/e2e/SubagentTest.cpp — the daemon as an AgentX subagent of Debian's snmpd: the
// table read through the master, across the master's late start, restart and absence, and while
// the table churns.
#include <chrono>
#include <thread>

#include "DaemonTest.h"
#include "MasterAgent.h"
#include "TempDir.h"

namespace E2e {
namespace {

constexpr const char* connectedLine = "agentx: connected to master at ";
constexpr const char* lostLine = "agentx: lost master at ";

class SubagentTest : public DaemonTest {
 protected:
  /// The subagent's arguments: the master's socket, a ping every second, then `extra`.
  std::vector<std::string> subagentArgs(const std::vector<std::string>& extra) const {
    std::vector<std::string> args{"--agentx", master_.socket(), "--agentx-ping-s", "1"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }

  /// A full snmpbulkwalk of the table through the master equals `rows`.
  void expectTableThroughMaster(const std::vector<Row>& rows, const std::string& when) const {
    const ClientResult walk = SnmpClient(master_).bulkWalk();
    ASSERT_TRUE(succeeded(walk)) << when;
    EXPECT_TRUE(sameVars(walk.vars, tableVars(rows))) << when;
  }

  void waitForConnections(int count) {
    ASSERT_TRUE(daemon_.waitForLog(connectedLine + master_.socket(), count))
        << daemon_.log() << "--- master ---\n"
        << master_.log();
  }

  MasterAgent master_;
};

// The daemon starts before its master, which it finds once it is there; it finds the master
// again after a restart, and after an absence of several ping intervals during which the state
// changed: every walk through the master is the table of the state at that time. Each change
// of the connection is logged once, with no warning per failed attempt.
TEST_F(SubagentTest, FollowsTheMasterThroughLateStartRestartAndAbsence) {
  SwitchState state = sampleState();
  writeFileAtomically(statePath(), state.json());
  ASSERT_TRUE(daemon_.startSubagent(subagentArgs({"--state", statePath()}))) << daemon_.log();
  ASSERT_TRUE(
      daemon_.waitForLog("agentx: no master at " + master_.socket() + " yet; retrying every 1 s"))
      << daemon_.log();

  ASSERT_TRUE(master_.start()) << master_.log();
  ASSERT_NO_FATAL_FAILURE(waitForConnections(1));
  expectTableThroughMaster(expectedRows(state), "master started after the daemon");

  ASSERT_TRUE(master_.stop()) << master_.log();
  ASSERT_TRUE(daemon_.waitForLog(lostLine + master_.socket() + "; retrying every 1 s", 1))
      << daemon_.log();
  ASSERT_TRUE(master_.start()) << master_.log();
  ASSERT_NO_FATAL_FAILURE(waitForConnections(2));
  expectTableThroughMaster(expectedRows(state), "master restarted");

  master_.kill();
  ASSERT_TRUE(daemon_.waitForLog(lostLine, 2)) << daemon_.log();
  state.status["slice1"].erase("Ethernet1/3");
  state.status["slice0"]["Ethernet1/1"][0]->drops = 13;
  ASSERT_NO_FATAL_FAILURE(applyState(state, WriteMode::rename));
  std::this_thread::sleep_for(std::chrono::milliseconds(3500));  // three attempts fail
  ASSERT_TRUE(master_.start()) << master_.log();
  ASSERT_NO_FATAL_FAILURE(waitForConnections(3));
  expectTableThroughMaster(expectedRows(state), "master back after an absence");

  EXPECT_EQ(daemon_.logCount(lostLine), 2) << daemon_.log();
  EXPECT_EQ(daemon_.logCount("Failed to connect"), 0) << daemon_.log();
}

// Drop counters of the interfaces in a storm (about 190 of 1000 at any time) advancing every
// millisecond keep the daemon's scheduler busy, so task slices run between the master's requests:
// one AgentX request per walked value, each still answered within the master's one second (no
// genErr), and the walk complete and strictly increasing.
TEST_F(SubagentTest, WalkThroughMasterStaysCompleteWhileTheTableChurns) {
  constexpr int interfaces = 1000;
  ASSERT_TRUE(master_.start()) << master_.log();
  ASSERT_TRUE(daemon_.startSubagent(
      subagentArgs({"--simulate", std::to_string(interfaces), "--sim-interval-ms", "1"})))
      << daemon_.log();
  ASSERT_NO_FATAL_FAILURE(waitForConnections(1));
  const ClientResult walk = SnmpClient(master_).bulkWalk();
  ASSERT_TRUE(succeeded(walk));
  EXPECT_EQ(walk.vars.size(), 3u * 4 * interfaces);
  EXPECT_TRUE(strictlyIncreasing(walk.vars));
}

}  // namespace
}  // namespace E2e
