// tests/host/e2e/TableSetTest.cpp — SET on the read-only table: refused on every column, by the
// agent for a read-only community and by the table for a write community, with nothing changed.
#include <algorithm>
#include <map>
#include <set>

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
  /// Each SET is refused with one of `reasons`, and the table is unchanged afterwards.
  void expectEverySetRefused(const SnmpClient& client,
                             const std::map<unsigned, std::set<std::string>>& reasons) {
    const Row& row = rows_[5];
    for (const SetCase& c : setCases) {
      const Oid oid = cellOid(c.column, ifIndexArc(row.ifIndex), row.trafficClass);
      const ClientResult set = client.set(oid, c.type, c.value);
      EXPECT_NE(set.process.exitStatus, 0) << set.describe();
      EXPECT_TRUE(set.vars.empty()) << set.describe();
      const std::string reason = set.errorReason();
      const auto& allowed = reasons.at(c.column);
      const bool known = std::any_of(allowed.begin(), allowed.end(), [&](const std::string& r) {
        return reason.find(r) != std::string::npos;
      });
      EXPECT_TRUE(known) << "column " << c.column << ": " << set.describe();
    }
    // A row that does not exist cannot be created either.
    const ClientResult create = client.set(cellOid(3, 77, 0), "i", "1");
    EXPECT_NE(create.process.exitStatus, 0) << create.describe();
    EXPECT_NE(create.errorReason(), "") << create.describe();
    expectTable(rows_, "after the refused SETs");
  }

  const SwitchState state_ = sampleState();
  const std::vector<Row> rows_ = expectedRows(state_);
};

// The default community is read-only: the agent's access control refuses the SET before any
// handler sees it.
TEST_F(TableSetTest, ReadOnlyCommunityIsRefusedByTheAgent) {
  ASSERT_NO_FATAL_FAILURE(startWithState(state_));
  const std::set<std::string> refused{"noAccess", "authorizationError"};
  expectEverySetRefused(SnmpClient(daemon_),
                        {{1, refused}, {2, refused}, {3, refused}, {4, refused}, {5, refused}});
}

// With a write community the SET reaches the table, which is not writable; columns outside
// the table do not exist to be written.
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

  const std::set<std::string> notWritable{"notWritable"};
  const std::set<std::string> absent{"notWritable", "noCreation", "noAccess"};
  expectEverySetRefused(SnmpClient(daemon_, {"-v2c", "-c", "private"}),
                        {{1, absent}, {2, notWritable}, {3, notWritable}, {4, notWritable},
                         {5, absent}});
}

}  // namespace
}  // namespace E2e
