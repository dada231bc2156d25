// tests/host/e2e/StateFileTest.cpp — the state file: edits reach the next walk, bad files are
// refused with the running table kept, a bad file at start-up stops the daemon, and a restart
// of the agent (SIGUSR2) reconciles the table to exactly the live rows.
#include <signal.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <set>

#include "BackgroundWalks.h"
#include "DaemonTest.h"
#include "TempDir.h"

namespace E2e {
namespace {

class StateFileEditTest : public DaemonTest, public ::testing::WithParamInterface<WriteMode> {};

// Each kind of edit is applied as a difference and the next walk shows exactly the new state.
TEST_P(StateFileEditTest, EditsAreVisibleToTheNextWalk) {
  SwitchState s = sampleState();
  ASSERT_NO_FATAL_FAILURE(startWithState(s));
  expectTable(expectedRows(s), "at start");

  // A new status for an interface that had an ifIndex only, and new values for another.
  s.status["slice0"]["Ethernet9/9"] = {ClassValues{700, 1, 4, 70}, {}, {}, ClassValues{}};
  s.status["slice0"]["Ethernet1/1"][0]->drops = 13;
  s.status["slice0"]["Ethernet1/1"][2] = ClassValues{2000, 2, 4, 1};
  ASSERT_NO_FATAL_FAILURE(applyState(s, GetParam()));
  expectTable(expectedRows(s), "after a new status");

  // A whole status entity goes: its interfaces keep their ifIndex but lose their rows.
  s.status.erase("slice1");
  ASSERT_NO_FATAL_FAILURE(applyState(s, GetParam()));
  expectTable(expectedRows(s), "after removing an entity");

  // A new interface, in a new entity.
  s.interfaces["Ethernet3/2"] = 32;
  s.status["slice2"]["Ethernet3/2"] = {ClassValues{3200, 1, 4, 32}, {}, {}, {}};
  ASSERT_NO_FATAL_FAILURE(applyState(s, GetParam()));
  expectTable(expectedRows(s), "after a new interface");

  // An interface leaves the switch: ifIndex and status.
  s.interfaces.erase("Ethernet1/10");
  s.status["slice0"].erase("Ethernet1/10");
  ASSERT_NO_FATAL_FAILURE(applyState(s, GetParam()));
  expectTable(expectedRows(s), "after removing an interface");

  // ifIndex 1 moves from an interface that leaves to one that arrives.
  s.interfaces.erase("Ethernet1/1");
  s.status["slice0"].erase("Ethernet1/1");
  s.interfaces["Ethernet4/1"] = 1;
  s.status["slice2"]["Ethernet4/1"] = {
      ClassValues{4100, 2, 4, 41}, ClassValues{{}, {}, {}, 4}, {}, {}};
  ASSERT_NO_FATAL_FAILURE(applyState(s, GetParam()));
  expectTable(expectedRows(s), "after moving ifIndex 1");
}

// A file that does not parse or validate is refused with its name and the place of the fault;
// the agent goes on answering the running table and applies the next good file.
TEST_P(StateFileEditTest, BadFileIsRefusedAndTheTableKept) {
  SwitchState s = sampleState();
  ASSERT_NO_FATAL_FAILURE(startWithState(s));
  const std::vector<Row> rows = expectedRows(s);

  writeState("{\n  \"interfaces\": {\n    @\n  }\n}\n", GetParam());
  ASSERT_TRUE(daemon_.waitForLog(statePath() + ":3:")) << daemon_.log();
  const std::string line = daemon_.logLines(statePath() + ":3:").back();
  const std::string after = line.substr(line.find(statePath() + ":3:") + statePath().size() + 3);
  EXPECT_TRUE(!after.empty() && std::isdigit(static_cast<unsigned char>(after[0])) &&
              after.find(": ") != std::string::npos)
      << "expected FILE:LINE:COLUMN: REASON, got " << line;
  ASSERT_TRUE(daemon_.waitForLog("keeping the running state")) << daemon_.log();
  expectTable(rows, "after a syntax error");

  SwitchState badUnits = s;
  badUnits.status["slice0"]["Ethernet1/1"][0]->units = 3;
  writeState(badUnits.json(), GetParam());
  ASSERT_TRUE(daemon_.waitForLog(statePath() + ": at $.status.slice0.Ethernet1/1.all.units: "))
      << daemon_.log();
  expectTable(rows, "after units out of range");

  SwitchState duplicate = s;
  duplicate.interfaces["Ethernet1/3"] = 1;
  duplicate.status["slice0"]["Ethernet1/1"][1] = ClassValues{{}, {}, {}, 1234};
  writeState(duplicate.json(), GetParam());
  ASSERT_TRUE(daemon_.waitForLog(statePath() + ": at $.interfaces")) << daemon_.log();
  expectTable(rows, "after two interfaces with one ifIndex");

  s.status["slice0"]["Ethernet1/1"][1] = ClassValues{{}, {}, {}, 4321};
  ASSERT_NO_FATAL_FAILURE(applyState(s, GetParam()));
  expectTable(expectedRows(s), "after a good file again");
}

INSTANTIATE_TEST_SUITE_P(Write, StateFileEditTest,
                         ::testing::Values(WriteMode::rename, WriteMode::inPlace),
                         [](const auto& info) {
                           return info.param == WriteMode::rename ? "Renamed" : "InPlace";
                         });

struct BadFile {
  const char* name;
  std::string text;
  std::string place;  // what the message must name after the file

  friend void PrintTo(const BadFile& file, std::ostream* out) { *out << file.name; }
};

std::string sampleWith(const std::string& from, const std::string& to) {
  std::string text = sampleState().json();
  const auto at = text.find(from);
  if (at == std::string::npos) throw std::logic_error("sample lacks " + from);
  return text.replace(at, from.size(), to);
}

// Each refusal's place and reason is pinned by the parser's unit tests; here one syntax error
// and one fault found only across entries show the start-up path refusing them.
std::vector<BadFile> badFiles() {
  return {
      {"Syntax", "{\n  \"interfaces\": {\n    \"Ethernet1/1\": 1,,\n  }\n}\n", ":3:"},
      {"DuplicateIfIndex", sampleWith("\"Ethernet1/3\": 3", "\"Ethernet1/3\": 2"),
       ": at $.interfaces"},
  };
}

class BadStartUpFileTest : public DaemonTest, public ::testing::WithParamInterface<BadFile> {};

// At start-up a refused file ends the daemon with status 2 and one line naming the file and
// the place, before it serves anything.
TEST_P(BadStartUpFileTest, ExitsWithStatus2AndOneLine) {
  writeFileAtomically(statePath(), GetParam().text);
  const auto status = daemon_.runToExit(
      {"--listen", "udp:127.0.0.1:" + std::to_string(freeUdpPort()), "--state", statePath()},
      eventDeadline);
  const std::string log = daemon_.log();
  EXPECT_EQ(status, 2) << log;
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
  EXPECT_NE(log.find(statePath() + GetParam().place), std::string::npos)
      << "expected the message to name " << statePath() + GetParam().place << ", got " << log;
  EXPECT_EQ(log.find("listening on"), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(Refused, BadStartUpFileTest, ::testing::ValuesIn(badFiles()),
                         [](const auto& info) { return std::string(info.param.name); });

// A missing state file is refused the same way.
TEST_F(DaemonTest, MissingStateFileExitsWithStatus2) {
  const auto status = daemon_.runToExit(
      {"--listen", "udp:127.0.0.1:" + std::to_string(freeUdpPort()), "--state", statePath()},
      eventDeadline);
  const std::string log = daemon_.log();
  EXPECT_EQ(status, 2) << log;
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
  EXPECT_NE(log.find(statePath()), std::string::npos) << log;
}

// SIGUSR2 restarts the agent over the table it left; interfaces removed and added while it
// restarts, and rows it did not produce again, end exactly as the file says, and the restarted
// agent follows later edits.
TEST_F(DaemonTest, RestartEndsWithExactlyTheLiveRows) {
  SwitchState s = largeState(1000);
  ASSERT_NO_FATAL_FAILURE(startWithState(s));
  const std::string applied = "state applied: " + statePath();
  const int appliedBefore = daemon_.logCount(applied);

  daemon_.signal(SIGUSR2);
  for (std::uint32_t i = 1; i <= 1000; i += 10) {
    s.interfaces.erase(numberedIntf(i));
    s.status[i % 2 ? "slice0" : "slice1"].erase(numberedIntf(i));
  }
  s.interfaces["Ethernet99/1"] = 5000;
  s.status["slice2"]["Ethernet99/1"] = {ClassValues{5000, 1, {}, 5000}, {}, {}, {}};
  writeState(s.json(), WriteMode::rename);

  ASSERT_TRUE(daemon_.waitForLog("restarting agent")) << daemon_.log();
  ASSERT_TRUE(daemon_.waitForLog("table ready: ", 2)) << daemon_.log();
  ASSERT_TRUE(daemon_.waitForLog(applied, appliedBefore + 1)) << daemon_.log();
  expectTable(expectedRows(s), "after the restart");

  s.interfaces["Ethernet1/1"] = 1;
  s.status["slice0"]["Ethernet1/1"] = {ClassValues{11, 1, {}, 11}, {}, {}, {}};
  ASSERT_NO_FATAL_FAILURE(applyState(s, WriteMode::inPlace));
  expectTable(expectedRows(s), "after an edit that follows the restart");
}

/// The variables of a full walk of `state`'s table, by OID.
std::map<Oid, VarBind> cellsOf(const SwitchState& state) {
  std::map<Oid, VarBind> cells;
  for (const auto& vb : tableVars(expectedRows(state))) cells.emplace(vb.oid, vb);
  return cells;
}

// Walks that run while a large reload is applied in task runs never repeat or reorder a row,
// never miss a row of an interface that keeps its ifIndex, and read every value from the old
// state or the new one.
TEST_F(DaemonTest, WalksDuringAReloadMissNoStableRow) {
  constexpr std::uint32_t count = 2000;
  const SwitchState before = largeState(count);
  SwitchState after = before;
  std::set<std::uint32_t> moved;  // ifIndexes that change hands
  for (std::uint32_t i = 1; i <= count; ++i) {
    const char* entity = i % 2 ? "slice0" : "slice1";
    after.status[entity][numberedIntf(i)][3]->drops = i + 1;
    if (i % 10 != 0) continue;
    after.interfaces.erase(numberedIntf(i));
    after.status[entity].erase(numberedIntf(i));
    after.interfaces["Lag" + std::to_string(i)] = i;
    after.status["slice2"]["Lag" + std::to_string(i)] = {ClassValues{{}, 2, {}, 1}, {}, {}, {}};
    moved.insert(i);
  }
  ASSERT_NO_FATAL_FAILURE(startWithState(before));
  const std::string applied = "state applied: " + statePath();
  const int appliedBefore = daemon_.logCount(applied);

  const SnmpClient client(daemon_);
  std::vector<ClientResult> walks;
  {
    BackgroundWalks small(client, 10);
    BackgroundWalks large(client, 100);
    writeState(after.json(), WriteMode::rename);
    ASSERT_TRUE(daemon_.waitForLog(applied, appliedBefore + 1)) << daemon_.log();
    walks = small.stop();
    const auto more = large.stop();
    walks.insert(walks.end(), more.begin(), more.end());
  }

  const auto old = cellsOf(before);
  const auto now = cellsOf(after);
  for (std::size_t w = 0; w < walks.size(); ++w) {
    SCOPED_TRACE("walk " + std::to_string(w) + " of " + std::to_string(walks.size()));
    ASSERT_TRUE(succeeded(walks[w]));
    const auto& vars = walks[w].vars;
    EXPECT_TRUE(strictlyIncreasing(vars));
    std::set<Oid> seen;
    for (const auto& vb : vars) {
      seen.insert(vb.oid);
      const auto o = old.find(vb.oid);
      const auto n = now.find(vb.oid);
      const bool known = (o != old.end() && o->second == vb) || (n != now.end() && n->second == vb);
      EXPECT_TRUE(known) << "neither state holds " << describe(vb);
    }
    std::size_t missing = 0;
    for (const auto& [oid, vb] : now) {
      const auto ifIndex = static_cast<std::uint32_t>(oid[entryOid.size() + 1]);
      if (moved.count(ifIndex) == 0 && seen.count(oid) == 0) ++missing;
    }
    EXPECT_EQ(missing, 0u) << "rows of interfaces that kept their ifIndex were skipped";
  }
  expectTable(expectedRows(after), "after the reload");
}

}  // namespace
}  // namespace E2e
