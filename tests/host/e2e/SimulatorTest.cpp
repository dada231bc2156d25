// tests/host/e2e/SimulatorTest.cpp — walks of the simulated switch while its drop counters
// change every 10 ms and other walks run at the same time: every walk complete and strictly
// increasing, thresholds steady, drop counters never going back.
#include <map>

#include "BackgroundWalks.h"
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

class SimulatorTest : public DaemonTest {
 protected:
  /// One sequence of walks made one after the other: each complete and strictly increasing,
  /// with the rows and thresholds of `reference`, and drop counters that never go back.
  void checkSequence(const std::vector<ClientResult>& walks,
                     const std::vector<VarBind>& reference) {
    const std::vector<Oid> rows = indexes(column(reference, 2));
    ASSERT_EQ(rows.size(), rowsPerColumn);
    for (std::size_t w = 0; w < walks.size(); ++w) {
      SCOPED_TRACE("walk " + std::to_string(w) + " of " + std::to_string(walks.size()));
      ASSERT_TRUE(succeeded(walks[w]));
      const auto& vars = walks[w].vars;
      EXPECT_TRUE(strictlyIncreasing(vars));
      EXPECT_EQ(vars.size(), 3 * rowsPerColumn);
      for (unsigned c = 2; c <= 4; ++c) {
        EXPECT_EQ(indexes(column(vars, c)), rows) << "column " << c;
      }
      EXPECT_EQ(column(vars, 2), column(reference, 2));
      EXPECT_EQ(column(vars, 3), column(reference, 3));
      if (w == 0) continue;
      const Cells previous = column(walks[w - 1].vars, 4);
      for (const auto& [oid, vb] : column(vars, 4)) {
        const auto old = previous.find(oid);
        if (old == previous.end()) continue;
        EXPECT_GE(std::stoull(vb.value), std::stoull(old->second.value)) << oidText(oid);
        dropsMoved_ = dropsMoved_ || vb.value != old->second.value;
      }
    }
  }

  bool dropsMoved_ = false;
};

TEST_F(SimulatorTest, WalksStayCompleteWhileDropsChange) {
  ASSERT_TRUE(daemon_.start({"--simulate", std::to_string(interfaces), "--sim-interval-ms", "10"}))
      << daemon_.log();
  ASSERT_TRUE(daemon_.waitForLog("table ready: ")) << daemon_.log();
  const SnmpClient client(daemon_);
  const ClientResult first = client.bulkWalk();
  ASSERT_TRUE(succeeded(first));

  std::vector<ClientResult> small;
  std::vector<ClientResult> large;
  std::vector<ClientResult> single;
  {
    BackgroundWalks smallWalks(client, 10);
    BackgroundWalks largeWalks(client, 1000);
    single.push_back(client.walk());  // GETNEXT by GETNEXT while the bulk walks run
    single.push_back(client.walk());
    small = smallWalks.stop();
    large = largeWalks.stop();
  }
  small.insert(small.begin(), first);
  checkSequence(small, first.vars);
  checkSequence(large, first.vars);
  checkSequence(single, first.vars);
  EXPECT_TRUE(dropsMoved_) << "the drop counters never changed between walks";
}

}  // namespace
}  // namespace E2e
