// NotificationTest.cpp — breltaStormControlDropsRising, end to end: the daemon's notification
// targets from its -C file, Debian's snmptrapd receiving, the table read back with snmpget.
#include <signal.h>

#include <chrono>
#include <fstream>
#include <map>
#include <set>
#include <thread>
#include <utility>

#include "DaemonTest.h"
#include "TempDir.h"
#include "TrapReceiver.h"

namespace E2e {
namespace {

const Oid snmpTrapOid{1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0};
const Oid dropsRisingOid{1, 3, 6, 1, 4, 1, 32473, 3, 35, 0, 1};
const Oid ifIndexColumn{1, 3, 6, 1, 2, 1, 2, 2, 1, 1};
const Oid notifyClassOid{1, 3, 6, 1, 4, 1, 32473, 3, 35, 1, 2, 0};
const Oid dropsColumn = concat(entryOid, {4});

const std::vector<std::string> receiverConfig{
    "authCommunity log public",
    "createUser op SHA-256 authpass12 AES privpass12",
    "authUser log op priv",
};

using RowKey = std::pair<std::uint64_t, unsigned>;  // ifIndex, traffic class

/// The row a notification is about, after checking its variables have the notification's
/// shape: sysUpTime, snmpTrapOID, ifIndex, traffic class, drops, all about the same row.
::testing::AssertionResult rowOf(const Notification& n, RowKey& row, std::uint64_t& drops) {
  const auto& v = n.vars;
  if (v.size() != 5 || v[1].oid != snmpTrapOid || v[1].value != oidText(dropsRisingOid)) {
    return ::testing::AssertionFailure() << "not breltaStormControlDropsRising:\n" << describe(v);
  }
  const VarBind& ifIndex = v[2];
  const VarBind& trafficClass = v[3];
  const VarBind& counter = v[4];
  const bool shaped = startsWith(ifIndex.oid, ifIndexColumn) &&
                      ifIndex.oid.size() == ifIndexColumn.size() + 1 && ifIndex.type == "INTEGER" &&
                      trafficClass.oid == notifyClassOid && trafficClass.type == "INTEGER" &&
                      startsWith(counter.oid, dropsColumn) &&
                      counter.oid.size() == dropsColumn.size() + 2 && counter.type == "Counter64";
  if (!shaped) return ::testing::AssertionFailure() << "unexpected variables:\n" << describe(v);
  row = {ifIndex.oid.back(), unsigned(std::stoul(trafficClass.value))};
  const RowKey counterRow{counter.oid[dropsColumn.size()], unsigned(counter.oid.back())};
  if (ifIndex.value != std::to_string(row.first) || counterRow != row) {
    return ::testing::AssertionFailure() << "variables about different rows:\n" << describe(v);
  }
  drops = std::stoull(counter.value);
  return ::testing::AssertionSuccess();
}

class NotificationTest : public DaemonTest {
 protected:
  /// Starts the daemon with `targets` as its -C file (plus a read-only community) and `args`.
  void startDaemon(const std::vector<std::string>& targets, std::vector<std::string> args) {
    const std::string config = daemon_.dir().file("agent.conf");
    std::ofstream out(config);
    out << "rocommunity public 127.0.0.1\n";
    for (const std::string& line : targets) out << line << '\n';
    out.close();
    args.insert(args.end(), {"-C", config, "-Dtrap"});
    ASSERT_TRUE(daemon_.startWith([&](int port) {
      std::vector<std::string> all{"--listen", "udp:127.0.0.1:" + std::to_string(port)};
      all.insert(all.end(), args.begin(), args.end());
      return all;
    })) << daemon_.log();
    ASSERT_TRUE(daemon_.waitForLog("table ready: ")) << daemon_.log();
  }

  /// Asks for the counters until the notifier's line says `heldDown` reached `count`.
  bool waitForHeldDown(int count) {
    for (int asked = 1; asked <= 300; ++asked) {
      daemon_.signal(SIGUSR1);
      if (!daemon_.waitForLog("notifications: ", asked)) return false;
      const auto lines = daemon_.logLines("notifications: ");
      const std::string& last = lines.back();
      const auto at = last.find("heldDown=");
      if (at != std::string::npos && std::stoi(last.substr(at + 9)) >= count) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }

  /// The drops column of the row, read now.
  std::uint64_t tableDrops(const RowKey& row) const {
    const ClientResult r = SnmpClient(daemon_).get({cellOid(4, row.first, row.second)});
    EXPECT_TRUE(succeeded(r));
    return r.vars.size() == 1 ? std::stoull(r.vars[0].value) : 0;
  }

  TrapReceiver receiver_;
};

// Storms on the simulated switch: every configured row's counter starts rising again after a
// still spell, several times, but each row is notified once per target within the hold-down.
// Traps and informs over SNMPv2c and an SNMPv3 authPriv inform reach the receiver, every inform
// is acknowledged, and the variables name rows of the table with drops the row had.
TEST_F(NotificationTest, OneNotificationPerRowAndTargetWithinTheHoldDown) {
  ASSERT_TRUE(receiver_.start(receiverConfig)) << receiver_.log();
  const std::string at = receiver_.address();
  startDaemon(
      {"trap2sink " + at + " public", "informsink " + at + " public",
       "trapsess -v3 -Ci -u op -l authPriv -a SHA-256 -A authpass12 -x AES -X privpass12 " + at},
      {"--simulate", "4", "--sim-slices", "1", "--sim-interval-ms", "100", "--notify-still-s", "1",
       "--context", "other"});

  // The rows with a configured threshold are the ones whose counters move.
  const ClientResult levels = SnmpClient(daemon_).walk(concat(entryOid, {2}));
  ASSERT_TRUE(succeeded(levels));
  std::set<RowKey> configured;
  for (const VarBind& vb : levels.vars) {
    if (vb.value != "0") configured.insert({vb.oid[entryOid.size() + 1], unsigned(vb.oid.back())});
  }
  ASSERT_EQ(configured.size(), 6u);

  const int targets = 3;
  ASSERT_TRUE(receiver_.waitFor(int(configured.size()) * targets)) << receiver_.log();
  ASSERT_TRUE(waitForHeldDown(int(configured.size())))
      << "every row rose again after a still spell\n"
      << daemon_.log();

  std::map<std::pair<std::string, RowKey>, int> received;
  for (const Notification& n : receiver_.notifications()) {
    RowKey row;
    std::uint64_t drops = 0;
    ASSERT_TRUE(rowOf(n, row, drops)) << n.kind;
    EXPECT_TRUE(configured.count(row)) << n.kind << " for a row without moving counters";
    EXPECT_LE(drops, tableDrops(row)) << "drops the row had, never more";
    ++received[{n.kind, row}];
  }
  for (const RowKey& row : configured) {
    for (const char* kind :
         {"TRAP2, SNMP v2c, community public", "INFORM, SNMP v2c, community public",
          "INFORM, SNMP v3, user op, context "}) {
      EXPECT_EQ((received[{kind, row}]), 1)
          << kind << " for row " << row.first << "." << row.second;
    }
  }
  EXPECT_EQ(received.size(), configured.size() * targets) << receiver_.log();
  EXPECT_EQ(daemon_.logCount("received the inform response"), int(configured.size()) * 2)
      << daemon_.log();
  EXPECT_EQ(daemon_.logCount("send_trap:"), 0) << "no complaint about the notification";
}

// From a state file the values are exact: the notification carries the drops the table serves.
// A second start within the hold-down, a counter cleared and rows coming and going send nothing.
TEST_F(NotificationTest, CarriesTheTablesValuesAndRespectsTheHoldDown) {
  ASSERT_TRUE(receiver_.start(receiverConfig)) << receiver_.log();
  SwitchState state;
  state.interfaces = {{"Ethernet1", 7}, {"Ethernet2", 8}};
  state.status["slice0"]["Ethernet1"][0] = ClassValues{500, 1, {}, 100};
  writeFileAtomically(statePath(), state.json());
  startDaemon({"trap2sink " + receiver_.address() + " public"},
              {"--state", statePath(), "--notify-still-s", "1"});
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // still since start-up

  state.status["slice0"]["Ethernet1"][0]->drops = 150;
  applyState(state, WriteMode::rename);
  ASSERT_TRUE(receiver_.waitFor(1)) << daemon_.log();
  RowKey row;
  std::uint64_t drops = 0;
  ASSERT_TRUE(rowOf(receiver_.notifications()[0], row, drops));
  EXPECT_EQ(row, RowKey(7, 0));
  EXPECT_EQ(drops, 150u);
  EXPECT_EQ(tableDrops(row), 150u);

  std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // still again
  state.status["slice0"]["Ethernet1"][0]->drops = 200;
  applyState(state, WriteMode::rename);
  ASSERT_TRUE(waitForHeldDown(1)) << daemon_.log();
  state.status["slice0"]["Ethernet1"][0]->drops = 0;
  state.status["slice0"]["Ethernet2"][1] = ClassValues{10, 1, {}, 5};
  applyState(state, WriteMode::rename);
  state.status["slice0"].erase("Ethernet2");
  applyState(state, WriteMode::rename);
  EXPECT_EQ(receiver_.notifications().size(), 1u) << receiver_.log();
}

}  // namespace
}  // namespace E2e
