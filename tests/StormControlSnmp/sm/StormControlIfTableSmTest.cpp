// Scenarios of the table machine: start-up, join, removals, resumable scans, zombies. They
// check state (rows, publications, flags); the traced texts are checked in the trace suite.
#include "StormControlSnmp/StormControlIfTableSm.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "SmFixture.h"

namespace StormControlSnmp::SmTest {
namespace {

using StormControlIfTableSmTest = SmFixture;
using StormControlIfTableSmJoinTest = SmFixture;
using StormControlIfTableSmScanTest = SmFixture;
using StormControlIfTableSmDeathTest = SmFixture;

/// The ifIndex the scan tests give interface "EthernetN": 10 + N.
U32 ifIndexOf(const std::string& intf) { return 10 + U32(intf.back() - '0'); }

// A second handleInitialized keeps the children, the state objects and the task.
TEST_F(StormControlIfTableSmTest, SecondHandleInitializedChangesNothing) {
  intfIs("Ethernet1", 11);
  start();
  const auto* ifMibSm2 = sm_->ifMibSm2().get();
  const auto* sliceSm0 = sm_->sliceSm0().get();
  const auto* scanState = sm_->inputSmScanState().get();
  const auto* outputState = sm_->outputState().get();
  const Pondo::Ptr<Velo::Task> task = sm_->mibStormControlIfTableOutputReconciliationTask();
  ASSERT_TRUE(task);
  EXPECT_EQ(task->taskName(), "StormControlIfTableSm-mibStormControlIfTableOutputTask");
  sm_->handleInitialized();
  EXPECT_EQ(sm_->ifMibSm2().get(), ifMibSm2);
  EXPECT_EQ(sm_->sliceSm0().get(), sliceSm0);
  EXPECT_EQ(sm_->inputSmScanState().get(), scanState);
  EXPECT_EQ(sm_->outputState().get(), outputState);
  EXPECT_EQ(sm_->mibStormControlIfTableOutputReconciliationTask().get(), task.get());
  EXPECT_FALSE(task->taskScheduled()) << "an empty table needs no deletion scan";
}

// The first scans start inline and go on in the tasks; events before the handshake are
// dropped. Here the interface-index scan finishes first; both rescans are needed to be ready.
TEST_F(StormControlIfTableSmTest, HandshakeIfMibScanFirst) {
  const StatusPtr s1 = intfIs("Ethernet1", 11);
  intfIs("Ethernet2", 12);
  publishIn(*status0_, "Ethernet3");
  start();
  const auto& ifMibSm2 = *sm_->ifMibSm2();
  const auto& sliceSm0 = *sm_->sliceSm0();
  EXPECT_EQ(ifMibSm2.inputScanBookmark1().stringValue().stdString(), ifMibOrder()[1]);
  EXPECT_EQ(sliceSm0.inputScanState0(), ScanState::yielded);
  const Pondo::Ptr<Velo::Task> task = sm_->mibStormControlIfTableOutputReconciliationTask();
  ASSERT_TRUE(task);
  const StatusPtr s2 = publishIn(*status0_, "Ethernet2", 200);  // dropped, rescanned later

  ASSERT_TRUE(scheduler_->runOne());
  EXPECT_EQ(ifMibSm2.inputScanState1(), ScanState::initialComplete);
  EXPECT_TRUE(sm_->inputSmScanState()->ifMibStreamScan());
  EXPECT_FALSE(sm_->initialScanDone());
  ASSERT_TRUE(scheduler_->runOne());
  EXPECT_TRUE(sm_->initialScanDone());
  EXPECT_FALSE(sm_->inputSmScanState()->ifMibStreamScan()) << "the handshake clears both flags";
  EXPECT_FALSE(sm_->inputSmScanState()->statusStreamScan());
  EXPECT_TRUE(tableKeys().empty()) << "events before the handshake must be dropped";

  ASSERT_TRUE(scheduler_->runOne());  // the interface-index rescan writes the rows
  EXPECT_TRUE(rowsReferTo(11, s1));
  EXPECT_TRUE(rowsReferTo(12, s2));
  EXPECT_FALSE(sm_->ready());
  ASSERT_TRUE(scheduler_->runOne());  // the status rescan
  EXPECT_TRUE(sm_->ready());
  EXPECT_TRUE(sm_->idle());
  EXPECT_FALSE(ifMibSm2.task1());
  EXPECT_FALSE(sliceSm0.task0());
  EXPECT_EQ(task->taskRuns(), 0u) << "an empty table needs no deletion scan";
  sm_->inputSmScanState()->idleIs(false);
  EXPECT_FALSE(sm_->idle()) << "with tasks, idle() follows the idle flag";
}

// The status scan finishes first (inline), the handshake comes with the interface-index scan;
// the status rescan then reports first too, and ready waits for the other one.
TEST_F(StormControlIfTableSmTest, HandshakeStatusScanFirst) {
  const StatusPtr s1 = intfIs("Ethernet1", 11);
  intfIs("Ethernet2", 12);
  ifIndexIs("Ethernet3", 13);
  start();
  EXPECT_EQ(sm_->sliceSm0()->inputScanState0(), ScanState::initialComplete);
  EXPECT_FALSE(sm_->initialScanDone());
  ASSERT_TRUE(scheduler_->runOne());
  EXPECT_TRUE(sm_->initialScanDone());
  EXPECT_TRUE(tableKeys().empty());
  ASSERT_TRUE(scheduler_->runOne());
  EXPECT_TRUE(rowsReferTo(11, s1)) << "the status rescan joins the ifIndex";
  EXPECT_FALSE(sm_->ready());
  ASSERT_TRUE(scheduler_->runOne());
  EXPECT_TRUE(sm_->ready());
}

// A synchronous machine does all its work while it is built and later changes inline; it
// makes no task, and idle() is ready(). Only value 1 asks for it.
TEST_F(StormControlIfTableSmTest, SynchronousMachineNeedsNoTask) {
  const StatusPtr s1 = intfIs("Ethernet1", 5);
  const U64 tasksMade = Velo::Task::memAllocationTracker_.allocations;
  start(Ostra::SmControl::synchronousOn);
  EXPECT_TRUE(sm_->synchronous());
  EXPECT_EQ(Velo::Task::memAllocationTracker_.allocations, tasksMade);
  EXPECT_TRUE(sm_->ready());
  EXPECT_TRUE(rowsReferTo(5, s1));
  sm_->inputSmScanState()->idleIs(false);
  EXPECT_TRUE(sm_->idle()) << "a synchronous machine is idle when it is ready";
  const StatusPtr s3 = intfIs("Ethernet3", 7);
  EXPECT_TRUE(rowsReferTo(7, s3));
  for (U8 request : {U8(0), Ostra::SmControl::synchronousOff, U8(7)}) {
    EXPECT_FALSE(makeSm(request)->synchronous()) << int(request);
  }
}

// A zombie machine ignores its children's scan reports: no handshake, no rows, never ready.
TEST_F(StormControlIfTableSmTest, ZombieIgnoresScanReports) {
  intfIs("Ethernet1", 5);
  intfIs("Ethernet2", 6);
  start();
  ASSERT_FALSE(sm_->initialScanDone());
  sm_->qelDoZombieReactors(true);
  settle();
  EXPECT_FALSE(sm_->initialScanDone());
  EXPECT_FALSE(sm_->ready());
  EXPECT_TRUE(tableKeys().empty());
}

// Zombie children ignore the changes of their inputs: no row is touched, no child is made.
TEST_F(StormControlIfTableSmTest, ZombieChildrenIgnoreTheirInputs) {
  intfIs("Ethernet1", 5);
  startReady();
  sm_->ifMibSm2()->qelDoZombieReactors(true);
  ifIndexIs("Ethernet1", 6);
  sm_->sliceSm0()->qelDoZombieReactors(true);
  publishIn(*addEntity("status1"), "Ethernet1");
  ASSERT_TRUE(childSm("status0"));
  childSm("status0")->qelDoZombieReactors(true);
  publishIn(*status0_, "Ethernet1", 200);
  EXPECT_TRUE(log_.events.empty());
  EXPECT_FALSE(childSm("status1"));
}

// An ifIndex event joins the interface's status and a status event its ifIndex, four rows in
// key order each; the same event again changes nothing.
TEST_F(StormControlIfTableSmJoinTest, EventsJoinFromEitherSide) {
  const StatusPtr s1 = publishIn(*status0_, "Ethernet1");
  ifIndexIs("Ethernet2", 6);
  startReady();
  ifIndexIs("Ethernet1", 5);
  EXPECT_TRUE(rowsReferTo(5, s1));
  const StatusPtr s2 = publishIn(*status0_, "Ethernet2");
  EXPECT_EQ(log_.events, concat({rowEvents('+', 5), rowEvents('+', 6)}));
  EXPECT_TRUE(rowsReferTo(6, s2));
  const U32 version = mib_->stormControlIfTable().version();
  sm_->eventToStatusStream("status0", "Ethernet2", Sm::IntfStatusOpt(s2));
  EXPECT_EQ(mib_->stormControlIfTable().version(), version);
  EXPECT_EQ(sm_->mibStormControlIfTableOutputSeen().count(), 0u)
      << "keys are recorded only while reconciling";
}

// A new status object replaces the rows one by one, and its removal deletes them in key
// order, leaving other interfaces alone.
TEST_F(StormControlIfTableSmJoinTest, NewStatusReplacesRowsAndRemovalDeletesThem) {
  publishIn(*status0_, "Ethernet1");
  const StatusPtr s2 = intfIs("Ethernet2", 6);
  ifIndexIs("Ethernet1", 5);
  startReady();
  const StatusPtr replacement = publishIn(*status0_, "Ethernet1", 200);
  EXPECT_EQ(log_.events, replacedRows(5));
  EXPECT_TRUE(rowsReferTo(5, replacement));
  status0_->intfStatusDel("Ethernet1");
  EXPECT_EQ(log_.events, concat({replacedRows(5), rowEvents('-', 5)}));
  EXPECT_EQ(mib_->stormControlIfTable().count(), 4u);
  EXPECT_TRUE(rowsReferTo(6, s2));
}

// An interface that loses its ifIndex is filtered out: its rows stay, later status events too.
TEST_F(StormControlIfTableSmJoinTest, LostIfIndexKeepsRowsAndFiltersStatus) {
  const StatusPtr s2 = intfIs("Ethernet2", 6);
  startReady();
  ifIndexDel("Ethernet2");
  publishIn(*status0_, "Ethernet2", 200);
  EXPECT_TRUE(log_.events.empty());
  EXPECT_TRUE(rowsReferTo(6, s2));
}

// An entity added after start is scanned at once; one replaced under the same name is first
// withdrawn, then scanned; one leaving the slice withdraws every interface it held, in its
// order, and other entities' rows stay.
TEST_F(StormControlIfTableSmJoinTest, EntityAddedReplacedAndRemoved) {
  intfIs("Ethernet1", 5);
  intfIs("Ethernet2", 6);
  ifIndexIs("Ethernet3", 7);
  startReady();
  const StatusPtr first = publishIn(*addEntity("status1"), "Ethernet3");
  EXPECT_EQ(log_.events, rowEvents('+', 7));
  EXPECT_TRUE(rowsReferTo(7, first));
  log_.events.clear();
  const auto replacement = Pondo::make<Status>("status1");
  const StatusPtr second = publishIn(*replacement, "Ethernet3", 200);
  slice_->entityIs(replacement);
  EXPECT_EQ(log_.events, concat({rowEvents('-', 7), rowEvents('+', 7)}));
  EXPECT_TRUE(rowsReferTo(7, second));
  ASSERT_TRUE(childSm("status1"));
  EXPECT_EQ(childSm("status1")->en().get(), replacement.get());

  log_.events.clear();
  Events expected;
  for (auto it = status0_->intfStatus().begin(); !it.atEnd(); ++it) {
    expected = concat({expected, rowEvents('-', it.key() == "Ethernet1" ? 5 : 6)});
  }
  slice_->entityDel("status0");
  EXPECT_EQ(log_.events, expected);
  EXPECT_EQ(mib_->stormControlIfTable().count(), 4u);
  EXPECT_FALSE(childSm("status0"));
}

// One interface in two entities: an ifIndex event writes its rows once per entity in directory
// order, a status event from either entity takes over, and a removal from one deletes the rows.
TEST_F(StormControlIfTableSmJoinTest, InterfaceInTwoEntities) {
  const Pondo::Ptr<Status> status1 = addEntity("status1");
  const StatusPtr a = publishIn(*status0_, "Ethernet1");
  const StatusPtr b = publishIn(*status1, "Ethernet1");
  startReady();
  std::vector<Pondo::Ptr<Status>> order;
  for (auto it = slice_->entityPtrIteratorConst(); !it.atEnd(); ++it) {
    order.push_back(it.key() == "status0" ? status0_ : status1);
  }
  ASSERT_EQ(order.size(), 2u);
  ifIndexIs("Ethernet1", 5);
  EXPECT_EQ(log_.events, concat({rowEvents('+', 5), replacedRows(5)}));
  EXPECT_TRUE(rowsReferTo(5, order[1] == status0_ ? a : b)) << "the entity visited last wins";
  log_.events.clear();
  const StatusPtr c = publishIn(*order[0], "Ethernet1", 300);
  EXPECT_EQ(log_.events, replacedRows(5));
  EXPECT_TRUE(rowsReferTo(5, c));
  ifIndexIs("Ethernet2", 6);
  EXPECT_EQ(log_.events, replacedRows(5)) << "an interface without status makes no rows";
  log_.events.clear();
  order[1]->intfStatusDel("Ethernet1");
  EXPECT_EQ(log_.events, rowEvents('-', 5));
  EXPECT_TRUE(tableKeys().empty());
}

/// Runs `react` on every publication of the table, after the fixture's log has seen it.
class TableReaction {
 public:
  TableReaction(StormControlMib& mib, std::function<void()> react) : react_(std::move(react)) {
    mib.publisher()->subscriberAdd(slot_, false);
  }

 private:
  void onChange(const Pondo::Change&) { react_(); }
  std::function<void()> react_;
  Pondo::Subscriber slot_{this, Pondo::memberHandler<&TableReaction::onChange>};
};

// A status entity added while the machine is ready is scanned by its new machine inside that
// machine's constructor. A table subscriber that publishes into the same entity during that
// scan reaches the new machine's reactor, which handles it like any change: the rows of the
// published interface are written at once, nested in the scan, and the machine lives on,
// owned by the slice machine alone.
TEST_F(StormControlIfTableSmJoinTest, TableSubscriberPublishesIntoEntityBeingScanned) {
  ifIndexIs("Ethernet2", 6);
  ifIndexIs("Ethernet3", 7);
  startReady();
  const auto status1 = Pondo::make<Status>("status1");
  const StatusPtr scanned = publishIn(*status1, "Ethernet2");
  StatusPtr published;
  bool reacted = false;
  TableReaction reaction(*mib_, [&] {
    if (std::exchange(reacted, true)) return;
    published = publishIn(*status1, "Ethernet3");
  });
  slice_->entityIs(status1);
  EXPECT_EQ(log_.events, concat({{"+6.all"},
                                 rowEvents('+', 7),
                                 {"+6.broadcast", "+6.multicast", "+6.unknownUnicast"}}));
  EXPECT_TRUE(rowsReferTo(6, scanned));
  EXPECT_TRUE(rowsReferTo(7, published));
  const auto* child = childSm("status1");
  ASSERT_TRUE(child);
  EXPECT_EQ(child->references(), 1u) << "the guard only held a reference";
  EXPECT_EQ(child->inputScanState0(), ScanState::complete);
  EXPECT_EQ(child->versionIntfStatus(), status1->intfStatus().version());
  EXPECT_FALSE(sm_->sliceSm0()->inReactor());
  log_.events.clear();
  slice_->entityDel("status1");
  EXPECT_EQ(log_.events.size(), 8u) << "the new machine withdraws both interfaces";
}

// An entry present with a null value is a present status: from either side of the join its
// four rows are written, refer to no status and read 0 in all three columns; a status object
// replacing the null one replaces the rows, and removing the entry deletes them.
TEST_F(StormControlIfTableSmJoinTest, NullStatusEntryWritesRowsThatReadZero) {
  ifIndexIs("Ethernet1", 5);
  startReady();
  status0_->intfStatusIs("Ethernet1", nullptr);
  EXPECT_EQ(log_.events, rowEvents('+', 5));
  EXPECT_TRUE(rowsReferTo(5, nullptr));
  for (TC tc : stormControlTCTypes) {
    const StormControlIfTableEntry* row = mib_->stormControlIfTable(Key(5, tc));
    ASSERT_TRUE(row);
    EXPECT_EQ(row->thresholdLevel(), 0u);
    EXPECT_EQ(static_cast<int>(row->thresholdUnits()), 0);
    EXPECT_EQ(row->drops(), 0u);
  }

  status0_->intfStatusIs("Ethernet2", nullptr);  // no ifIndex yet: filtered
  EXPECT_EQ(log_.events, rowEvents('+', 5));
  log_.events.clear();
  ifIndexIs("Ethernet2", 6);
  EXPECT_EQ(log_.events, rowEvents('+', 6));
  EXPECT_TRUE(rowsReferTo(6, nullptr));

  log_.events.clear();
  const StatusPtr status = publishIn(*status0_, "Ethernet1");
  EXPECT_EQ(log_.events, replacedRows(5));
  EXPECT_TRUE(rowsReferTo(5, status));
  status0_->intfStatusDel("Ethernet2");
  EXPECT_EQ(log_.events, concat({replacedRows(5), rowEvents('-', 6)}));
}

// The interface-index rescan yields where the scheduler asks and resumes at the first key not
// yet handled, also after the map changed between runs: each key is handled exactly once.
TEST_F(StormControlIfTableSmScanTest, IfMibRescanResumesAtBookmark) {
  for (const char* name : {"Ethernet1", "Ethernet2", "Ethernet3", "Ethernet4"}) {
    intfIs(name, ifIndexOf(name));
  }
  start();
  runUntilInitialScanDone();
  scheduler_->yieldAfterChecksIs(2);
  const Events order = ifMibOrder();
  const auto& ifMibSm2 = *sm_->ifMibSm2();
  const U64 workBefore = ifMibSm2.task1()->taskWorkCount();
  ASSERT_TRUE(scheduler_->runOne());  // the interface-index rescan
  EXPECT_EQ(ifMibSm2.inputScanState1(), ScanState::yielded);
  EXPECT_EQ(ifMibSm2.inputScanBookmark1().stringValue().stdString(), order[2]);
  EXPECT_EQ(ifMibSm2.task1()->taskWorkCount() - workBefore, 2u) << "two keys in the first run";
  ifIndexDel(order[3]);
  intfIs("Ethernet5", ifIndexOf("Ethernet5"));
  settle();
  EXPECT_TRUE(sm_->ready());
  EXPECT_EQ(ifMibSm2.inputScanState1(), ScanState::complete);
  EXPECT_EQ(mib_->stormControlIfTable().count(), 16u);
  EXPECT_FALSE(mib_->stormControlIfTable(Key(ifIndexOf(order[3]), TC::all)));
}

// The status rescan yields inside an entity's scan with the bookmark on that entity, and the
// next run resumes that entity at its first interface not yet handled.
TEST_F(StormControlIfTableSmScanTest, SliceRescanResumesInsideEntity) {
  for (const char* name : {"Ethernet1", "Ethernet2", "Ethernet3"}) intfIs(name, ifIndexOf(name));
  start();
  runUntilInitialScanDone();
  scheduler_->yieldAfterChecksIs(2);
  Events order;
  for (auto it = status0_->intfStatus().begin(); !it.atEnd(); ++it) {
    order.push_back(it.key().stdString());
  }
  const U64 workBefore = sm_->sliceSm0()->task0()->taskWorkCount();
  ASSERT_TRUE(scheduler_->runOne());  // the interface-index rescan yields after two keys
  ASSERT_TRUE(scheduler_->runOne());  // the status rescan yields inside the entity
  EXPECT_EQ(sm_->sliceSm0()->inputScanState0(), ScanState::yielded);
  EXPECT_EQ(sm_->sliceSm0()->inputScanBookmark0(), "status0");
  ASSERT_TRUE(childSm("status0"));
  EXPECT_EQ(childSm("status0")->inputScanBookmark0().stdString(), order[2]);
  EXPECT_EQ(childSm("status0")->inputScanState0(), ScanState::yielded);
  EXPECT_EQ(sm_->sliceSm0()->task0()->taskWorkCount(), workBefore)
      << "the entity the scan is suspended on is not counted";
  status0_->intfStatusDel(Pondo::String(order[0]));
  settle();
  EXPECT_TRUE(sm_->ready());
  EXPECT_EQ(childSm("status0")->inputScanState0(), ScanState::complete);
  EXPECT_EQ(mib_->stormControlIfTable().count(), 8u);
  EXPECT_FALSE(mib_->stormControlIfTable(Key(ifIndexOf(order[0]), TC::all)));
}

// A null input stops the machine as it starts, checked in the order mib, slice, ifMib.
TEST_F(StormControlIfTableSmDeathTest, NullInputs) {
  const std::string tail =
      "\\(\\) && \"Pointer SM args cannot be null unless they are marked Optional\"";
  EXPECT_DEATH(Sm::StormControlIfTableSmIs(nullptr, nullptr, nullptr, control()), "mib" + tail);
  EXPECT_DEATH(Sm::StormControlIfTableSmIs(mib_, nullptr, nullptr, control()), "slice" + tail);
  EXPECT_DEATH(Sm::StormControlIfTableSmIs(mib_, slice_, nullptr, control()), "ifMib" + tail);
}

// Withdrawing the interface indexes after a missed change of the map is fatal.
TEST_F(StormControlIfTableSmDeathTest, MissedIfIndexNotification) {
  ifIndexIs("Ethernet1", 5);
  startReady();
  sm_->ifMibSm2()->qelDoZombieReactors(true);
  ifIndexIs("Ethernet1", 6);
  EXPECT_DEATH(sm_->doDeleteAll(),
               "We missed notifications that happened to ifIndexByIntfId before the enclosing "
               "entity got deleted");
}

// Withdrawing an entity whose machine missed a change of its statuses is fatal.
TEST_F(StormControlIfTableSmDeathTest, MissedIntfStatusNotification) {
  publishIn(*status0_, "Ethernet1");
  startReady();
  ASSERT_TRUE(childSm("status0"));
  childSm("status0")->hasNotificationActiveIs(false);
  publishIn(*status0_, "Ethernet2");
  EXPECT_DEATH(slice_->entityDel("status0"),
               "We missed notifications that happened to intfStatus before the enclosing entity "
               "got deleted");
}

}  // namespace
}  // namespace StormControlSnmp::SmTest
