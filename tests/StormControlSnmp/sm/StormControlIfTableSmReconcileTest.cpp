// Reconciliation after a restart: the machine deletes exactly the rows it did not produce.
// The deletion scan's traced texts are checked in the trace suite.
#include "StormControlSnmp/StormControlIfTableSm.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "SmFixture.h"

namespace StormControlSnmp::SmTest {
namespace {

using OutputState = KrelCode::StormControlIfTableSm::OutputState;

/// Ethernet1 has ifIndex 5 and the status `s1_`; `gone_` is the status of rows no input makes.
class StormControlIfTableSmReconcileTest : public SmFixture {
 protected:
  StormControlIfTableSmReconcileTest() { ifIndexIs("Ethernet1", 5); }
  void TearDown() override {
    gone_ = nullptr;
    s1_ = nullptr;
    SmFixture::TearDown();
  }

  /// The table holds Ethernet1's rows between the stale rows (2, all) and (9, broadcast); the
  /// machine starts and runs its first scans and both rescans: the deletion scan has deleted
  /// (2, all) and is suspended with its bookmark on (5, all).
  void startSuspended() {
    rowIs(2, TC::all, gone_);
    rowsIs(5, s1_);
    rowIs(9, TC::broadcast, gone_);
    start();
    runUntilInitialScanDone();
    ASSERT_TRUE(scheduler_->runOne());
    ASSERT_TRUE(scheduler_->runOne());
    ASSERT_EQ(sm_->mibStormControlIfTableOutputBookmark(), Sm::OutputKey::valid(Key(5, TC::all)));
    ASSERT_FALSE(mib_->stormControlIfTable(Key(2, TC::all)));
    log_.events.clear();
  }
  StatusPtr gone_ = newStatus("Ethernet0");
  StatusPtr s1_ = publishIn(*status0_, "Ethernet1");
};

// Stale rows go, over several task runs; valid rows stay, and rows with an outdated status
// are replaced by the rescans and stay too.
TEST_F(StormControlIfTableSmReconcileTest, DeletesExactlyStaleRowsAcrossYields) {
  const StatusPtr s2 = intfIs("Ethernet2", 7);
  rowIs(2, TC::all, gone_);
  rowsIs(5, s1_);
  rowsIs(7, newStatus("Ethernet2"));
  rowIs(9, TC::broadcast, gone_);
  rowIs(12, TC::all, gone_);
  log_.events.clear();
  start();
  EXPECT_TRUE(sm_->mibStormControlIfTableOutputReconciling());
  const Pondo::Ptr<Velo::Task> task = sm_->mibStormControlIfTableOutputReconciliationTask();
  ASSERT_TRUE(task);
  runUntilInitialScanDone();
  scheduler_->yieldAfterChecksIs(3);
  ASSERT_TRUE(scheduler_->runOne());  // one rescan replaces the outdated rows
  ASSERT_TRUE(scheduler_->runOne());  // the other rescan starts the deletion scan
  // Inside a notification the scan examines one row, then moves into its task.
  EXPECT_EQ(log_.events, concat({replacedRows(7), {"-2.all"}}));
  EXPECT_EQ(sm_->mibStormControlIfTableOutputSeen().count(), 8u);
  EXPECT_FALSE(sm_->ready());

  settle();
  EXPECT_EQ(log_.events, concat({replacedRows(7), {"-2.all", "-9.broadcast", "-12.all"}}));
  EXPECT_EQ(task->taskWorkCount(), 11u) << "every row examined once";
  EXPECT_EQ(task->taskRuns(), 4u) << "three rows a run after the first";
  EXPECT_TRUE(rowsReferTo(5, s1_));
  EXPECT_TRUE(rowsReferTo(7, s2));
  EXPECT_TRUE(sm_->ready());
  EXPECT_FALSE(sm_->mibStormControlIfTableOutputReconciling());
  EXPECT_EQ(sm_->mibStormControlIfTableOutputSeen().count(), 0u) << "the seen set is released";
  EXPECT_FALSE(sm_->mibStormControlIfTableOutputReconciliationTask());
}

// Once ready, asking again changes nothing: no row goes, ready stays.
TEST_F(StormControlIfTableSmReconcileTest, ReadyIsFinal) {
  rowIs(2, TC::all, gone_);
  start();
  settle();
  ASSERT_TRUE(sm_->ready());
  const Events rows = tableKeys();
  log_.events.clear();
  sm_->handleMibStormControlIfTableOutputInputReady();
  EXPECT_TRUE(log_.events.empty());
  EXPECT_EQ(tableKeys(), rows);
  EXPECT_TRUE(sm_->ready());
  EXPECT_FALSE(sm_->mibStormControlIfTableOutputReconciling());
}

// The scan resumes at the first row at or after its bookmark when the pipeline deleted the
// bookmarked row meanwhile; rows the pipeline produced meanwhile stay, and a row behind the
// bookmark is not examined again.
TEST_F(StormControlIfTableSmReconcileTest, ResumesAfterBookmarkedRowWasDeleted) {
  ASSERT_NO_FATAL_FAILURE(startSuspended());
  const Pondo::Ptr<Velo::Task> task = sm_->mibStormControlIfTableOutputReconciliationTask();
  ASSERT_TRUE(task);
  rowIs(1, TC::all, gone_);
  status0_->intfStatusDel("Ethernet1");
  ifIndexIs("Ethernet9", 20);  // a deletion of keys without rows is recorded too
  sm_->eventToStatusStream("status0", "Ethernet9", Sm::IntfStatusOpt());
  for (TC tc : stormControlTCTypes) {
    EXPECT_TRUE(
        sm_->mibStormControlIfTableOutputSeen().contains(Sm::OutputKey::valid(Key(20, tc))));
  }
  const StatusPtr s3 = intfIs("Ethernet3", 8);
  settle();
  EXPECT_EQ(log_.events,
            concat({{"+1.all"}, rowEvents('-', 5), rowEvents('+', 8), {"-9.broadcast"}}));
  EXPECT_EQ(task->taskWorkCount(), 6u) << "one row before the yield, five after the bookmark";
  EXPECT_EQ(tableKeys(),
            (Events{"1.all", "8.all", "8.broadcast", "8.multicast", "8.unknownUnicast"}));
  EXPECT_TRUE(sm_->ready());
}

// Keys the pipeline deleted and re-created while the scan was suspended are kept, at the
// bookmark (a replaced status) and after it (a removed and re-published status).
TEST_F(StormControlIfTableSmReconcileTest, KeepsRowsDeletedAndRecreatedMeanwhile) {
  const StatusPtr s2 = intfIs("Ethernet2", 7);
  rowsIs(7, s2);
  ASSERT_NO_FATAL_FAILURE(startSuspended());
  status0_->intfStatusDel("Ethernet2");
  const StatusPtr s2b = publishIn(*status0_, "Ethernet2", 200);
  const StatusPtr s1b = publishIn(*status0_, "Ethernet1", 200);
  settle();
  EXPECT_EQ(log_.events,
            concat({rowEvents('-', 7), rowEvents('+', 7), replacedRows(5), {"-9.broadcast"}}));
  EXPECT_TRUE(rowsReferTo(5, s1b));
  EXPECT_TRUE(rowsReferTo(7, s2b));
  EXPECT_EQ(mib_->stormControlIfTable().count(), 8u);
}

// A zombie machine ignores the runs of its suspended scan: stale rows stay, it never gets ready.
TEST_F(StormControlIfTableSmReconcileTest, ZombieIgnoresTaskRuns) {
  ASSERT_NO_FATAL_FAILURE(startSuspended());
  const Pondo::Ptr<Velo::Task> task = sm_->mibStormControlIfTableOutputReconciliationTask();
  ASSERT_TRUE(task && task->taskScheduled());
  sm_->qelDoZombieReactors(true);
  settle();
  EXPECT_EQ(task->taskRuns(), 1u);
  EXPECT_TRUE(mib_->stormControlIfTable(Key(9, TC::broadcast)));
  EXPECT_FALSE(sm_->ready());
}

// A synchronous machine reconciles in one go while it is built.
TEST_F(StormControlIfTableSmReconcileTest, SynchronousScanRunsInOneGo) {
  rowIs(2, TC::all, gone_);
  rowsIs(5, s1_);
  log_.events.clear();
  start(Ostra::SmControl::synchronousOn);
  EXPECT_TRUE(sm_->ready());
  EXPECT_EQ(log_.events, (Events{"-2.all"}));
  EXPECT_EQ(tableKeys().size(), 4u);
  EXPECT_FALSE(sm_->mibStormControlIfTableOutputReconciliationTask());
}

/// Records the attribute numbers an output state publishes.
struct AttributeLog {
  void onChange(const Pondo::Change& c) { attributes.push_back(c.attribute); }
  std::vector<U16> attributes;
  Pondo::Subscriber slot{this, Pondo::memberHandler<&AttributeLog::onChange>};
};

// The output state publishes `ready` before the output flag, and nothing when unchanged.
TEST(OutputStateTest, ReadyPublishedBeforeOutputFlag) {
  const Pondo::Ptr<OutputState> state = KrelCode::StormControlIfTableSm::outputStateFactory();
  AttributeLog log;
  state->publisher()->subscriberAdd(log.slot, false);
  state->mibStormControlIfTableOutputReadyIs(true);
  state->mibStormControlIfTableOutputReadyIs(true);
  EXPECT_EQ(log.attributes, (std::vector<U16>{OutputState::readyAttr,
                                              OutputState::mibStormControlIfTableOutputReadyAttr}));
}

}  // namespace
}  // namespace StormControlSnmp::SmTest
