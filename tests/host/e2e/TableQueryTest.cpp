// tests/host/e2e/TableQueryTest.cpp — reading the table with the snmp clients: walks, GET,
// GETNEXT and GETBULK in SNMPv2c, SNMPv1's view of it, and rows with an ifIndex of 2^31 or more.
#include <algorithm>

#include "DaemonTest.h"

namespace E2e {
namespace {

/// What a GETNEXT for `asked` must return when the table holds `table` (a full walk's
/// variables): the first variable after `asked`, or nullopt when the answer lies past the table.
std::optional<VarBind> nextOf(const std::vector<VarBind>& table, const Oid& asked) {
  const auto it =
      std::find_if(table.begin(), table.end(), [&](const VarBind& vb) { return asked < vb.oid; });
  if (it == table.end()) return std::nullopt;
  return *it;
}

/// `answer` is the correct GETNEXT answer for `asked`.
::testing::AssertionResult isNextOf(const VarBind& answer, const Oid& asked,
                                    const std::vector<VarBind>& table) {
  const auto expected = nextOf(table, asked);
  if (expected) {
    if (answer == *expected) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "after " << oidText(asked) << " got " << describe(answer) << ", expected "
           << describe(*expected);
  }
  const bool pastTable = answer.kind == VarKind::endOfMibView ||
                         (!startsWith(answer.oid, tableOid) && tableOid < answer.oid);
  if (pastTable) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "after " << oidText(asked) << " got " << describe(answer)
                                       << ", expected the end of the table";
}

class TableQueryTest : public DaemonTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(startWithState(state_));
    ASSERT_FALSE(rows_.empty());
  }

  const SwitchState state_ = sampleState();
  const std::vector<Row> rows_ = expectedRows(state_);
  const std::vector<VarBind> table_ = tableVars(rows_);
  const SnmpClient client_{daemon_};
};

// snmpwalk and snmpbulkwalk (small and large repetitions) return exactly the state file's rows,
// column by column in index order, and a walk of one column returns just that column.
TEST_F(TableQueryTest, WalksReturnTheStateFilesRows) {
  const ClientResult walk = client_.walk();
  ASSERT_TRUE(succeeded(walk));
  EXPECT_TRUE(sameVars(walk.vars, table_));
  for (const int repetitions : {1, 7, 1000}) {
    const ClientResult bulk = client_.bulkWalk(tableOid, repetitions);
    ASSERT_TRUE(succeeded(bulk));
    EXPECT_TRUE(sameVars(bulk.vars, table_)) << "-Cr" << repetitions;
  }
  for (unsigned column = 2; column <= 4; ++column) {
    const ClientResult one = client_.bulkWalk(concat(entryOid, {column}));
    ASSERT_TRUE(succeeded(one));
    EXPECT_TRUE(sameVars(one.vars, columnVars(rows_, column))) << "column " << column;
  }
}

// GET answers every column of existing rows, noSuchInstance for rows that do not exist
// (including malformed indexes) and noSuchObject for columns 1 and 5.
TEST_F(TableQueryTest, GetAnswersRowsMissingRowsAndMissingColumns) {
  for (const Row& row : rows_) {
    const auto arc = ifIndexArc(row.ifIndex);
    const ClientResult got =
        client_.get({cellOid(2, arc, row.trafficClass), cellOid(3, arc, row.trafficClass),
                     cellOid(4, arc, row.trafficClass)});
    ASSERT_TRUE(succeeded(got));
    EXPECT_TRUE(sameVars(got.vars, {cellVar(row, 2), cellVar(row, 3), cellVar(row, 4)}));
  }

  const std::vector<Oid> missingRows{
      cellOid(2, 4, 0),                // no interface has ifIndex 4
      cellOid(3, 99, 0),               // an interface without a status
      cellOid(4, 1, 4),                // traffic class out of range
      cellOid(2, 0, 0),                // ifIndex 0
      cellOid(2, 4294967295, 0),       // the largest ifIndex, not in this table
      concat(entryOid, {2, 1}),        // one index component
      concat(entryOid, {3, 1, 0, 0}),  // three index components
  };
  const ClientResult missing = client_.get(missingRows);
  ASSERT_TRUE(succeeded(missing));
  ASSERT_EQ(missing.vars.size(), missingRows.size()) << missing.describe();
  for (std::size_t i = 0; i < missingRows.size(); ++i) {
    EXPECT_EQ(missing.vars[i].oid, missingRows[i]);
    EXPECT_EQ(missing.vars[i].kind, VarKind::noSuchInstance) << describe(missing.vars[i]);
  }

  const Row& first = rows_.front();
  const std::vector<Oid> missingColumns{cellOid(1, ifIndexArc(first.ifIndex), 0),
                                        cellOid(5, ifIndexArc(first.ifIndex), 0)};
  const ClientResult columns = client_.get(missingColumns);
  ASSERT_TRUE(succeeded(columns));
  ASSERT_EQ(columns.vars.size(), 2u) << columns.describe();
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(columns.vars[i].oid, missingColumns[i]);
    EXPECT_EQ(columns.vars[i].kind, VarKind::noSuchObject) << describe(columns.vars[i]);
  }
}

// GETNEXT steps from the last row of each column to the first row of the next one, and from the
// last row of the table out of it; from column stems, gaps and the table's own OID it finds the
// next row.
TEST_F(TableQueryTest, GetNextCrossesColumnAndTableEnds) {
  const Row& last = rows_.back();
  std::vector<Oid> asked{tableOid,
                         entryOid,
                         concat(entryOid, {1}),
                         concat(entryOid, {5}),
                         concat(entryOid, {2, 1}),
                         cellOid(2, 5, 0),
                         cellOid(3, 1, 3),
                         cellOid(4, 4294967295, 3)};
  for (unsigned column = 2; column <= 4; ++column) {
    asked.push_back(concat(entryOid, {column}));
    asked.push_back(cellOid(column, ifIndexArc(last.ifIndex), last.trafficClass));
  }
  for (const Oid& oid : asked) {
    const ClientResult next = client_.getNext({oid});
    ASSERT_TRUE(succeeded(next));
    ASSERT_EQ(next.vars.size(), 1u) << next.describe();
    EXPECT_TRUE(isNextOf(next.vars[0], oid, table_));
  }
}

// One GETNEXT PDU with variables in mixed and descending index order gets the right answer for
// each, in the order asked.
TEST_F(TableQueryTest, GetNextAnswersEachVariableOfOnePdu) {
  const std::vector<Oid> asked{
      cellOid(4, 1001, 3), cellOid(2, 1, 0),    cellOid(3, 10, 1), cellOid(2, 5, 0),
      cellOid(4, 1, 0),    cellOid(2, 1, 0),    tableOid,          cellOid(4, 100005, 3),
      cellOid(3, 2, 2),    cellOid(2, 1001, 1), cellOid(2, 3, 3),  concat(entryOid, {5}),
  };
  const ClientResult next = client_.getNext(asked);
  ASSERT_TRUE(succeeded(next));
  ASSERT_EQ(next.vars.size(), asked.size()) << next.describe();
  for (std::size_t i = 0; i < asked.size(); ++i) {
    EXPECT_TRUE(isNextOf(next.vars[i], asked[i], table_)) << "variable " << i;
  }
}

// GETBULK with max-repetitions 1 returns one variable per repeater; with 1000 it returns a
// non-empty, strictly ordered run that holds the rest of the table from where it started.
TEST_F(TableQueryTest, GetBulkReturnsOrderedRuns) {
  const ClientResult one = client_.getBulk(0, 1, {tableOid});
  ASSERT_TRUE(succeeded(one));
  EXPECT_TRUE(sameVars(one.vars, {table_.front()}));

  const ClientResult two = client_.getBulk(0, 1, {cellOid(2, 1, 0), cellOid(4, 10, 2)});
  ASSERT_TRUE(succeeded(two));
  ASSERT_EQ(two.vars.size(), 2u) << two.describe();
  EXPECT_TRUE(isNextOf(two.vars[0], cellOid(2, 1, 0), table_));
  EXPECT_TRUE(isNextOf(two.vars[1], cellOid(4, 10, 2), table_));

  for (const Oid& start : {tableOid, cellOid(3, 10, 2), cellOid(4, 1001, 0)}) {
    const ClientResult bulk = client_.getBulk(0, 1000, {start});
    ASSERT_TRUE(succeeded(bulk));
    ASSERT_FALSE(bulk.vars.empty()) << bulk.describe();
    std::vector<VarBind> values;
    for (const auto& vb : bulk.vars) {
      if (vb.kind != VarKind::endOfMibView) values.push_back(vb);
    }
    EXPECT_TRUE(strictlyIncreasing(values));
    std::vector<VarBind> inTable;
    for (const auto& vb : values) {
      if (startsWith(vb.oid, tableOid)) inTable.push_back(vb);
    }
    std::vector<VarBind> rest;
    for (const auto& vb : table_) {
      if (start < vb.oid) rest.push_back(vb);
    }
    EXPECT_TRUE(sameVars(inTable, rest)) << "GETBULK from " << oidText(start);
  }

  // One non-repeater then two repeaters, each stepping on from its own place.
  const ClientResult mixed =
      client_.getBulk(1, 3, {cellOid(4, 2, 1), cellOid(2, 3, 1), cellOid(3, 1001, 2)});
  ASSERT_TRUE(succeeded(mixed));
  ASSERT_EQ(mixed.vars.size(), 7u) << mixed.describe();
  EXPECT_TRUE(isNextOf(mixed.vars[0], cellOid(4, 2, 1), table_));
  EXPECT_TRUE(isNextOf(mixed.vars[1], cellOid(2, 3, 1), table_));
  EXPECT_TRUE(isNextOf(mixed.vars[2], cellOid(3, 1001, 2), table_));
  for (std::size_t i = 3; i < 7; ++i) {
    EXPECT_TRUE(isNextOf(mixed.vars[i], mixed.vars[i - 2].oid, table_)) << "variable " << i;
  }
}

// SNMPv1 has no Counter64: net-snmp leaves those columns out of v1's view, so a v1 walk sees the
// INTEGER column only, a v1 GET of it answers and a v1 GET of a Counter64 column fails.
TEST_F(TableQueryTest, SnmpV1SeesTheIntegerColumnOnly) {
  const SnmpClient v1(daemon_, {"-v1", "-c", "public"});
  const ClientResult walk = v1.walk();
  ASSERT_TRUE(succeeded(walk));
  EXPECT_TRUE(sameVars(walk.vars, columnVars(rows_, 3)));

  const Row& row = rows_.front();
  const ClientResult units = v1.get({cellOid(3, ifIndexArc(row.ifIndex), row.trafficClass)});
  ASSERT_TRUE(succeeded(units));
  EXPECT_TRUE(sameVars(units.vars, {cellVar(row, 3)}));

  const ClientResult level = v1.get({cellOid(2, ifIndexArc(row.ifIndex), row.trafficClass)});
  EXPECT_NE(level.process.exitStatus, 0) << level.describe();
  EXPECT_TRUE(level.vars.empty()) << level.describe();
  EXPECT_NE(level.errorReason().find("noSuchName"), std::string::npos) << level.describe();

  const ClientResult next = v1.getNext({concat(entryOid, {2})});
  ASSERT_TRUE(succeeded(next));
  EXPECT_TRUE(sameVars(next.vars, {cellVar(row, 3)}));
}

// ifIndexes of 2^31 and more lie beyond a signed INTEGER: the manager sees the unsigned 32-bit
// ifIndex as the OID arc, the rows keep the unsigned order, and GET, GETNEXT and walks find
// them (a negative index value would become an arc above anything a request can name, since
// net-snmp casts INTEGER indexes to its 64-bit arcs).
class LargeIfIndexTest : public DaemonTest {
 protected:
  void SetUp() override {
    state_.interfaces = {{"Ethernet1/1", 1},
                         {"Ethernet1/2", 2147483647},
                         {"Ethernet1/3", 2147483648},
                         {"Ethernet1/4", 3000000000},
                         {"Ethernet1/5", 4294967295}};
    for (const auto& [name, ifIndex] : state_.interfaces) {
      state_.status["slice0"][name] = {ClassValues{ifIndex, 1, {}, ifIndex / 2}, {}, {}, {}};
    }
    rows_ = expectedRows(state_);
    ASSERT_NO_FATAL_FAILURE(startWithState(state_));
  }

  SwitchState state_;
  std::vector<Row> rows_;
};

TEST_F(LargeIfIndexTest, RowsBeyondTheSignedRangeAreServedInUnsignedOrder) {
  const SnmpClient client(daemon_);
  const std::vector<VarBind> table = tableVars(rows_);
  const ClientResult walk = client.walk();
  EXPECT_TRUE(succeeded(walk));
  EXPECT_TRUE(sameVars(walk.vars, table));
  const ClientResult bulk = client.bulkWalk(tableOid, 3);
  EXPECT_TRUE(succeeded(bulk));
  EXPECT_TRUE(sameVars(bulk.vars, table));

  for (const Row& row : rows_) {
    const Oid oid = cellOid(4, ifIndexArc(row.ifIndex), row.trafficClass);
    const ClientResult got = client.get({oid});
    EXPECT_TRUE(succeeded(got));
    EXPECT_TRUE(sameVars(got.vars, {cellVar(row, 4)}));
    const Oid level = cellOid(2, ifIndexArc(row.ifIndex), row.trafficClass);
    const ClientResult next = client.getNext({level});
    EXPECT_TRUE(succeeded(next));
    ASSERT_EQ(next.vars.size(), 1u) << next.describe();
    EXPECT_TRUE(isNextOf(next.vars[0], level, table));
  }
}

}  // namespace
}  // namespace E2e
