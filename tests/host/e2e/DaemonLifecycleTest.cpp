// tests/host/e2e/DaemonLifecycleTest.cpp — the daemon's life: options, signals, and contexts
// other than the default one.
#include <signal.h>

#include <algorithm>

#include "DaemonTest.h"
#include "TempDir.h"

namespace E2e {
namespace {

// SIGTERM and SIGINT end the daemon cleanly with status 0, after it has served a walk.
TEST_F(DaemonTest, TermAndIntSignalsExitWithStatusZero) {
  for (const int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(sig == SIGTERM ? "SIGTERM" : "SIGINT");
    Daemon daemon;
    ASSERT_TRUE(daemon.start({"--simulate", "8"})) << daemon.log();
    ASSERT_TRUE(daemon.waitForLog("table ready: ")) << daemon.log();
    const ClientResult walk = SnmpClient(daemon).bulkWalk();
    ASSERT_TRUE(succeeded(walk));
    EXPECT_EQ(walk.vars.size(), 3u * 4 * 8);
    daemon.signal(sig);
    EXPECT_EQ(daemon.waitExit(), 0) << daemon.log();
    EXPECT_EQ(daemon.logCount("shutting down"), 1) << daemon.log();
    EXPECT_EQ(sanitizerReports(daemon.log()), "") << daemon.log();
  }
}

// SIGUSR1 logs the table's iterator counters, the scheduler's statistics and the live
// allocations, and the daemon goes on serving.
TEST_F(DaemonTest, UsrOneSignalLogsCounters) {
  ASSERT_TRUE(daemon_.start({"--simulate", "8"})) << daemon_.log();
  ASSERT_TRUE(daemon_.waitForLog("table ready: ")) << daemon_.log();
  ASSERT_TRUE(succeeded(SnmpClient(daemon_).walk()));
  daemon_.signal(SIGUSR1);
  ASSERT_TRUE(daemon_.waitForLog("counters:")) << daemon_.log();
  ASSERT_TRUE(daemon_.waitForLog("scheduler:")) << daemon_.log();
  ASSERT_TRUE(daemon_.waitForLog("allocations: ")) << daemon_.log();
  EXPECT_EQ(daemon_.logCount(" StormControlSnmp::StormControlIfTableEntry=32 "), 1)
      << "one table entry per row, counted in the plug-in\n"
      << daemon_.log();
  ASSERT_TRUE(succeeded(SnmpClient(daemon_).bulkWalk()));
}

// An invalid option or value stops the daemon with status 2 and one line naming the option.
TEST_F(DaemonTest, InvalidOptionsExitWithStatus2) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
      {{"--bogus"}, "--bogus"},
      {{"--sim-interval-ms", "soon"}, "--sim-interval-ms"},
      {{"--simulate", "-1"}, "--simulate"},
      {{"--sim-flap-ms", "86400001"}, "--sim-flap-ms"},
      {{"--listen"}, "--listen"},
      {{"--agentx", "/run/agentx/master", "--listen", "udp:127.0.0.1:1161"}, "--listen"},
      {{"--agentx-ping-s", "0"}, "--agentx-ping-s"},
  };
  for (const auto& [args, option] : cases) {
    Daemon daemon;
    const auto status = daemon.runToExit(args, eventDeadline);
    const std::string log = daemon.log();
    EXPECT_EQ(status, 2) << option << "\n" << log;
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
    EXPECT_NE(log.find(option), std::string::npos) << log;
  }
}

// A context given with --context is noted but not served: net-snmp has nothing registered in
// it and drops requests for it unanswered, for a v2c community bound to it as for an SNMPv3 user
// naming it, while the same user reads the table in the default context.
TEST_F(DaemonTest, SecondContextIsNotServed) {
  const SwitchState state = sampleState();
  const std::vector<Row> rows = expectedRows(state);
  writeFileAtomically(statePath(), state.json());
  const std::string config = daemon_.dir().file("contexts.conf");
  ASSERT_TRUE(daemon_.startWith([&](int port) {
    writeFileAtomically(config, "agentaddress udp:127.0.0.1:" + std::to_string(port) +
                                    "\n"
                                    "rocommunity public 127.0.0.1\n"
                                    "com2sec -Cn other otherSec 127.0.0.1 othercomm\n"
                                    "group otherGroup v2c otherSec\n"
                                    "view everything included .1\n"
                                    "access otherGroup other any noauth exact everything none "
                                    "none\n"
                                    "createUser tester\n"
                                    "rouser tester noauth\n");
    return std::vector<std::string>{"-C", config, "--context", "other", "--state", statePath()};
  })) << daemon_.log();
  ASSERT_TRUE(daemon_.waitForLog("state applied: " + statePath())) << daemon_.log();
  ASSERT_TRUE(daemon_.waitForLog("table ready: ")) << daemon_.log();

  expectTable(rows, "in the default context");
  const Oid cell = cellOid(2, ifIndexArc(rows.front().ifIndex), rows.front().trafficClass);
  const std::vector<std::string> v3{"-v3", "-l", "noAuthNoPriv", "-u", "tester"};
  const ClientResult user = SnmpClient(daemon_, v3).get({cell});
  ASSERT_TRUE(succeeded(user));
  EXPECT_TRUE(sameVars(user.vars, {cellVar(rows.front(), 2)}));

  // No answer is expected: a short timeout and no retry.
  const std::vector<std::string> quick{"-t", "0.5", "-r", "0"};
  std::vector<std::string> v3Other = v3;
  v3Other.insert(v3Other.end(), {"-n", "other"});
  for (const auto& auth : {v3Other, std::vector<std::string>{"-v2c", "-c", "othercomm"}}) {
    const SnmpClient other(daemon_, auth);
    for (const auto& result : {other.run("snmpget", quick, {oidText(cell)}),
                               other.run("snmpgetnext", quick, {oidText(tableOid)})}) {
      EXPECT_TRUE(result.vars.empty()) << result.describe();
      EXPECT_NE(result.process.err.find("Timeout"), std::string::npos) << result.describe();
    }
  }
  expectTable(rows, "in the default context, afterwards");
}

}  // namespace
}  // namespace E2e
