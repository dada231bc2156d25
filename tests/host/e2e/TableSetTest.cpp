// tests/host/e2e/TableSetTest.cpp — SET on the read-only table: refused on every column, by the
// agent for a read-only community and by the table for a write community, with nothing changed.
#include <utility>
#include <vector>

#include "DaemonTest.h"
#include "TempDir.h"

namespace E2e {
namespace {

struct SetCase {
  unsigned column;
  const char* type;
  const char* value;
};

// A value of the column's own type where snmpset has one (Counter64 has none: Unsigned32).
const std::vector<SetCase> setCases{
    {1, "i", "1"}, {2, "u", "5"}, {3, "i", "2"}, {4, "u", "0"}, {5, "i", "1"}};

class TableSetTest : public DaemonTest {
 protected:
  /// Each SET, on every column of an existing row and on a row that does not exist, is refused
  /// with `reason`, and the table is unchanged afterwards.
  void expectEverySetRefused(const SnmpClient& client, const std::string& reason) {
    const Row& row = rows_[5];
    std::vector<std::pair<Oid, const SetCase*>> sets;
    for (const SetCase& c : setCases) {
      sets.emplace_back(cellOid(c.column, ifIndexArc(row.ifIndex), row.trafficClass), &c);
    }
    sets.emplace_back(cellOid(3, 77, 0), &setCases[2]);
    for (const auto& [oid, c] : sets) {
      const ClientResult set = client.set(oid, c->type, c->value);
      EXPECT_NE(set.process.exitStatus, 0) << set.describe();
      EXPECT_TRUE(set.vars.empty()) << set.describe();
      EXPECT_TRUE(set.errorReason().starts_with(reason)) << set.describe();
    }
    expectTable(rows_, "after the refused SETs");
  }

  const SwitchState state_ = sampleState();
  const std::vector<Row> rows_ = expectedRows(state_);
};

// The default community is read-only: the agent's access control refuses the SET before any
// handler sees it (noAccess; SNMPv1 says noSuchName).
TEST_F(TableSetTest, ReadOnlyCommunityIsRefusedByTheAgent) {
  ASSERT_NO_FATAL_FAILURE(startWithState(state_));
  expectEverySetRefused(SnmpClient(daemon_), "noAccess");
  expectEverySetRefused(SnmpClient(daemon_, {"-v1", "-c", "public"}), "(noSuchName)");
}

// With a write community the SET reaches the read-only table: notWritable, whatever the column.
TEST_F(TableSetTest, WriteCommunityGetsNotWritable) {
  writeFileAtomically(statePath(), state_.json());
  const std::string config = daemon_.dir().file("rw.conf");
  ASSERT_TRUE(daemon_.startWith([&](int port) {
    writeFileAtomically(config, "agentaddress udp:127.0.0.1:" + std::to_string(port) +
                                    "\nrwcommunity private 127.0.0.1\n"
                                    "rocommunity public 127.0.0.1\n");
    return std::vector<std::string>{"-C", config, "--state", statePath()};
  })) << daemon_.log();
  ASSERT_TRUE(daemon_.waitForLog("state applied: " + statePath())) << daemon_.log();
  ASSERT_TRUE(daemon_.waitForLog("table ready: ")) << daemon_.log();
  expectEverySetRefused(SnmpClient(daemon_, {"-v2c", "-c", "private"}), "notWritable");
}

}  // namespace
}  // namespace E2e
