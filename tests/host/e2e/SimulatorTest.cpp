// tests/host/e2e/SimulatorTest.cpp — walks of the simulated switch while its drop counters
// change every 10 ms: every walk complete and strictly increasing.
#include <map>

#include "DaemonTest.h"

namespace E2e {
namespace {

constexpr int interfaces = 500;
constexpr std::size_t rowsPerColumn = 4 * interfaces;

using Cells = std::map<Oid, VarBind>;

/// The walk's variables of `column`, by OID.
Cells column(const std::vector<VarBind>& vars, unsigned column) {
  Cells cells;
  for (const auto& vb : vars) {
    if (startsWith(vb.oid, concat(entryOid, {column}))) cells.emplace(vb.oid, vb);
  }
  return cells;
}

/// The rows' indexes (the OID arcs after the column).
std::vector<Oid> indexes(const Cells& cells) {
  std::vector<Oid> result;
  for (const auto& [oid, vb] : cells) {
    result.emplace_back(oid.begin() + static_cast<long>(entryOid.size()) + 1, oid.end());
  }
  return result;
}

TEST_F(DaemonTest, WalksStayCompleteWhileTheSimulatorChangesDrops) {
  ASSERT_TRUE(daemon_.start({"--simulate", std::to_string(interfaces), "--sim-interval-ms", "10"}))
      << daemon_.log();
  ASSERT_TRUE(daemon_.waitForLog("table ready: "))
      << daemon_.log();
  const SnmpClient client(daemon_);

  std::vector<std::vector<VarBind>> walks;
  for (const int repetitions : {10, 50, 1000}) {
    const ClientResult bulk = client.bulkWalk(tableOid, repetitions);
    ASSERT_TRUE(succeeded(bulk));
    walks.push_back(bulk.vars);
  }
  const ClientResult walk = client.walk();
  ASSERT_TRUE(succeeded(walk));
  walks.push_back(walk.vars);

  const std::vector<Oid> rows = indexes(column(walks.front(), 2));
  bool dropsMoved = false;
  for (std::size_t w = 0; w < walks.size(); ++w) {
    SCOPED_TRACE("walk " + std::to_string(w));
    const auto& vars = walks[w];
    EXPECT_TRUE(strictlyIncreasing(vars));
    EXPECT_EQ(vars.size(), 3 * rowsPerColumn);
    for (unsigned c = 2; c <= 4; ++c) {
      const Cells cells = column(vars, c);
      EXPECT_EQ(cells.size(), rowsPerColumn) << "column " << c;
      EXPECT_EQ(indexes(cells), rows) << "column " << c << " has other rows than column 2";
    }
    if (w == 0) continue;
    // Thresholds stay; drop counters only advance.
    EXPECT_EQ(column(vars, 2), column(walks[w - 1], 2));
    EXPECT_EQ(column(vars, 3), column(walks[w - 1], 3));
    const Cells drops = column(vars, 4);
    const Cells previous = column(walks[w - 1], 4);
    for (const auto& [oid, vb] : drops) {
      const auto old = previous.find(oid);
      if (old == previous.end()) continue;
      EXPECT_GE(std::stoull(vb.value), std::stoull(old->second.value)) << oidText(oid);
      dropsMoved = dropsMoved || vb.value != old->second.value;
    }
  }
  EXPECT_TRUE(dropsMoved) << "the drop counters never changed between walks";
}

}  // namespace
}  // namespace E2e
