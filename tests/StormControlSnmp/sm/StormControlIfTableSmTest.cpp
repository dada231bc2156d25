// Scenarios of the table machine: start-up, join, entities, resumable scans, reconciliation,
// zombies, teardown, its type module, its trace gate and fatal faults. Each scenario's record is
// compared with expected-trace.txt; the checks in code are on what the record cannot show.
#include "StormControlSnmp/StormControlIfTableSm.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "Qel/Exception.h"
#include "SmFixture.h"

namespace StormControlSnmp::SmTest {
namespace {

using StormControlIfTableSmTest = SmFixture;
using StormControlIfTableSmDeathTest = SmFixture;
using OutputKey = Sm::MibStormControlIfTableOutputKeyType;
using OutputState = KrelCode::StormControlIfTableSm::OutputState;

// Start-up with the interface-index scan first: early events dropped, ready after both rescans.
TEST_F(StormControlIfTableSmTest, HandshakeIfMibScanFirst) {
  intfIs("Ethernet1", 11);
  intfIs("Ethernet2", 12);
  publishIn(*status0_, "Ethernet3");
  start();
  const auto* state = sm_->inputSmScanState().get();
  const Pondo::Ptr<Velo::Task> task = sm_->mibStormControlIfTableOutputReconciliationTask();
  EXPECT_EQ(task->taskName(), "StormControlIfTableSm-mibStormControlIfTableOutputTask");
  note();
  sm_->handleInitialized();
  EXPECT_TRUE(sm_->inputSmScanState().get() == state &&
              sm_->mibStormControlIfTableOutputReconciliationTask() == task);
  publishIn(*status0_, "Ethernet2", 200);  // dropped, rescanned later
  for (int run = 0; run < 4; ++run) {
    ASSERT_TRUE(scheduler_->runOne());
    note();
  }
  sm_->inputSmScanState()->idleIs(false);
  note();
  expectRecord();
}

// The handshake traces what holds it back: either scan flag or a missing child.
TEST_F(StormControlIfTableSmTest, HandshakeTracesWhatHoldsItBack) {
  intfIs("Ethernet1", 11);
  intfIs("Ethernet2", 12);
  start();
  const Qel::TypeData& type = *sm_->typeData();
  auto& state = *sm_->inputSmScanState();
  state.statusStreamScanIs(false);
  traces_.records.clear();
  Qel::attrInvoke(type, sm_.get(), Sm::handleInitialScanDoneAttr);
  state.ifMibStreamScanIs(true);
  Qel::attrInvoke(type, sm_.get(), Sm::handleInitialScanDoneAttr);
  Qel::attrDel(type, sm_.get(), Sm::ifMibSm2Attr);
  state.statusStreamScanIs(true);
  sm_->ifMibSm2Is(ifMib_, sm_.get());
  note();
  Qel::attrInvoke(type, sm_.get(), Sm::handleInitialScanDoneAttr);
  note();
  expectRecord();
}

// A synchronous machine scans, reconciles and joins inline without a task; only 1 asks for it.
TEST_F(StormControlIfTableSmTest, SynchronousMachineNeedsNoTask) {
  intfIs("Ethernet1", 5);
  rowsIs(2, newStatus("Ethernet0"), TC::all);
  rowsIs(5, newStatus("Ethernet1"));
  const U64 tasksMade = Velo::Task::memAllocationTracker_.allocations;
  traces_.records.clear();
  start(Ostra::SmControl::synchronousOn);
  EXPECT_TRUE(sm_->synchronous());
  sm_->inputSmScanState()->idleIs(false);
  note();
  intfIs("Ethernet3", 7);
  note();
  EXPECT_EQ(Velo::Task::memAllocationTracker_.allocations, tasksMade);
  for (U8 request : {U8(0), Ostra::SmControl::synchronousOff, U8(7)}) {
    EXPECT_FALSE(Sm::StormControlIfTableSmIs(mib_, slice_, ifMib_, control(request))->synchronous())
        << int(request);
  }
  expectRecord();
}

// A zombie machine ignores its children's reports; zombie children ignore their inputs.
TEST_F(StormControlIfTableSmTest, ZombiesIgnoreReportsAndInputs) {
  intfIs("Ethernet1", 5);
  intfIs("Ethernet2", 6);
  start();
  sm_->qelDoZombieReactors(true);
  settle();
  EXPECT_TRUE(!sm_->initialScanDone() && !sm_->ready() && table().empty());
  startReady();
  sm_->ifMibSm2()->qelDoZombieReactors(true);
  ifIndexIs("Ethernet1", 7);
  sm_->sliceSm0()->qelDoZombieReactors(true);
  slice_->entityIs(Pondo::make<Status>(real("status1")));
  childSm("status0")->qelDoZombieReactors(true);
  publishIn(*status0_, "Ethernet1", 200);
  note();
  expectRecord();
}

// Events join from either side (ifIndex 0 and 2^32 - 1), replace, delete and filter.
TEST_F(StormControlIfTableSmTest, EventsJoinReplaceFilterAndDelete) {
  publishIn(*status0_, "Ethernet1");
  startReady();
  ifIndexIs("Ethernet1", 0xffffffffu);
  ifIndexIs("Ethernet2", 0);
  const StatusPtr s2 = publishIn(*status0_, "Ethernet2");
  sm_->eventToStatusStream(real("status0"), real("Ethernet2"), Sm::IntfStatusOpt(s2));
  note();
  publishIn(*status0_, "Ethernet1", 200);
  status0_->intfStatusDel(real("Ethernet2"));
  ifIndexIs("Ethernet1", {});
  publishIn(*status0_, "Ethernet1", 300);
  note();
  EXPECT_EQ(sm_->mibStormControlIfTableOutputSeen().count(), 0u) << "recorded only reconciling";
  expectRecord();
}

// An entity added is scanned at once, also when publishing into it nests in the scan; one
// replaced is withdrawn, then scanned; one removed withdraws its interfaces.
TEST_F(StormControlIfTableSmTest, EntityAddedReplacedAndRemoved) {
  intfIs("Ethernet1", 5);
  intfIs("Ethernet2", 6);
  ifIndexIs("Ethernet3", 7);
  ifIndexIs("Ethernet4", 8);
  startReady();
  auto status1 = Pondo::make<Status>(real("status1"));
  publishIn(*status1, "Ethernet3");
  during_ = [&] { during_ = nullptr, publishIn(*status1, "Ethernet4", 200); };
  slice_->entityIs(status1);
  note();
  const auto* child = childSm("status1");
  EXPECT_EQ(child->references(), 1u) << "the guard only held a reference";
  EXPECT_EQ(child->inputVersion(), status1->intfStatus().version());
  EXPECT_FALSE(sm_->sliceSm0()->inReactor());
  publishIn(*status1, "Ethernet4", 250);  // an event after the scan, then the withdrawal
  status1 = Pondo::make<Status>(real("status1"));
  publishIn(*status1, "Ethernet3", 300);
  slice_->entityIs(status1);
  EXPECT_EQ(childSm("status1")->en(), status1);
  slice_->entityDel(real("status0"));
  note();
  expectRecord();
}

// One interface in two entities: rows written per entity in directory order, the last winning.
// An entry with a null value is a present status: its rows refer to no status.
TEST_F(StormControlIfTableSmTest, InterfaceInTwoEntitiesAndNullStatus) {
  auto status1 = Pondo::make<Status>(real("status1"));
  slice_->entityIs(status1);
  publishIn(*status0_, "Ethernet1", 100);
  publishIn(*status1, "Ethernet1", 200);
  startReady();
  ifIndexIs("Ethernet1", 5);
  note();
  publishIn(*status0_, "Ethernet1", 300);
  note();
  ifIndexIs("Ethernet2", 6);
  status1->intfStatusDel(real("Ethernet1"));
  note();
  status0_->intfStatusIs(real("Ethernet1"), nullptr);
  status0_->intfStatusIs(real("Ethernet3"), nullptr);  // no ifIndex yet: filtered
  ifIndexIs("Ethernet3", 7);
  note();
  publishIn(*status0_, "Ethernet1");
  status0_->intfStatusDel(real("Ethernet3"));
  note();
  expectRecord();
}

// Both rescans yield where the scheduler asks and resume at their first key not yet handled.
TEST_F(StormControlIfTableSmTest, RescansResumeAtBookmarks) {
  for (const char* intf : {"Ethernet1", "Ethernet2", "Ethernet3", "Ethernet4"}) {
    intfIs(intf, 10 + intf[8] - '0');
  }
  start();
  runUntilInitialScanDone();
  scheduler_->yieldAfterChecksIs(2);
  note();
  ASSERT_TRUE(scheduler_->runOne() && scheduler_->runOne());
  note();
  ifIndexIs("Ethernet4", {});
  status0_->intfStatusDel(real("Ethernet1"));
  intfIs("Ethernet5", 15);
  settle();
  note();
  expectRecord();
}

/// Ethernet1 has ifIndex 5 and a status; `gone_` is the status of rows no input makes.
class StormControlIfTableSmReconcileTest : public SmFixture {
 protected:
  StormControlIfTableSmReconcileTest() { intfIs("Ethernet1", 5); }
  void TearDown() override { gone_ = nullptr, SmFixture::TearDown(); }
  /// Stale rows (2, all) and (9, broadcast) around Ethernet1's; the deletion scan has deleted
  /// (2, all) and suspended itself on (5, all).
  void startSuspended() {
    rowsIs(2, gone_, TC::all);
    rowsIs(5, status0_->intfStatus(real("Ethernet1")));
    rowsIs(9, gone_, TC::broadcast);
    start();
    runUntilInitialScanDone();
    ASSERT_TRUE(scheduler_->runOne() && scheduler_->runOne());
    traces_.records.clear();
    note();
  }
  StatusPtr gone_ = newStatus("Ethernet0", 1);
};

// Stale rows go over several task runs, valid rows stay, outdated ones are replaced; ready is
// final.
TEST_F(StormControlIfTableSmReconcileTest, DeletesExactlyStaleRowsAcrossYields) {
  intfIs("Ethernet2", 7, 200);
  for (U32 ifIndex : {2, 12}) rowsIs(ifIndex, gone_, TC::all);
  rowsIs(5, status0_->intfStatus(real("Ethernet1")));
  rowsIs(7, newStatus("Ethernet2"));
  rowsIs(9, gone_, TC::broadcast);
  traces_.records.clear();
  start();
  const Pondo::Ptr<Velo::Task> task = sm_->mibStormControlIfTableOutputReconciliationTask();
  runUntilInitialScanDone();
  scheduler_->yieldAfterChecksIs(3);
  for (int run = 0; run < 6; ++run) {
    ASSERT_TRUE(scheduler_->runOne());
    note();
  }
  EXPECT_TRUE(scheduler_->idle() && task->taskWorkCount() == 11) << "every row examined once";
  rowsIs(3, gone_, TC::all);
  sm_->handleMibStormControlIfTableOutputInputReady();
  note();
  expectRecord();
}

// Rows changed at, behind and after the suspended scan's bookmark are kept; the stale one goes.
TEST_F(StormControlIfTableSmReconcileTest, ResumesAfterChangesAtAndAroundBookmark) {
  intfIs("Ethernet2", 7);
  rowsIs(7, status0_->intfStatus(real("Ethernet2")));
  ASSERT_NO_FATAL_FAILURE(startSuspended());
  status0_->intfStatusDel(real("Ethernet1"));
  status0_->intfStatusDel(real("Ethernet2"));
  publishIn(*status0_, "Ethernet2", 200);
  rowsIs(1, gone_, TC::all);
  ifIndexIs("Ethernet9", 20);
  sm_->eventToStatusStream(real("status0"), real("Ethernet9"), Sm::IntfStatusOpt());
  EXPECT_TRUE(sm_->mibStormControlIfTableOutputSeen().contains(OutputKey::valid(Key(20, TC::all))));
  intfIs("Ethernet3", 8);
  note();
  settle();
  note();
  EXPECT_EQ(sm_->mibStormControlIfTableOutputSeen().count(), 0u)
      << "a key seen without a row outlives readiness";
  expectRecord();
}

// A zombie machine ignores the runs of its suspended scan: stale rows stay, it never gets ready.
TEST_F(StormControlIfTableSmReconcileTest, ZombieIgnoresTaskRuns) {
  ASSERT_NO_FATAL_FAILURE(startSuspended());
  sm_->qelDoZombieReactors(true);
  settle();
  note();
  expectRecord();
}

// A machine released while reconciling lets its inputs go after its parts, scheduler and seen set.
TEST_F(StormControlIfTableSmTest, TeardownReleasesPartsInOrder) {
  {
    Ostra::SmControl c = control();
    c.schedulerIs(Pondo::make<Probe<Velo::TaskScheduler>>(this, "scheduler"));
    c.scheduler()->yieldAfterChecksIs(1u << 30);
    const auto mib = Pondo::make<Probe<StormControlMib>>(this, "mib", "probeMib");
    const auto slice = Pondo::make<Probe<Qel::Dir>>(this, "slice", "probeSlice");
    const auto ifMib = Pondo::make<Probe<IntfSnmp::IfMib>>(this, "ifMib", "probeIfMib");
    slice->entityIs(status0_);
    ifMib->ifIndexByIntfIdIs(Lumo::IntfId(real("Ethernet1")), 5);
    const StatusPtr s = publishIn(*status0_, "Ethernet1");
    for (U32 ifIndex : {5, 9}) mib->stormControlIfTableIs(Key(ifIndex, TC::all), s);
    sm_ = Sm::StormControlIfTableSmIs(mib, slice, ifMib, c);
  }
  for (int run = 0; run < 100 && !sm_->mibStormControlIfTableOutputUseBookmark(); ++run) {
    sm_->scheduler()->runOne();
  }
  note();
  sm_ = nullptr;
  expectRecord();
}

// The output state publishes `ready` before the output flag, and nothing when unchanged.
TEST(OutputStateTest, ReadyPublishedBeforeOutputFlag) {
  const Pondo::Ptr<OutputState> state = KrelCode::StormControlIfTableSm::outputStateFactory();
  std::vector<U16> attributes;
  OnChange log(state->publisher(),
               [&](const Pondo::Change& c) { attributes.push_back(c.attribute); });
  state->mibStormControlIfTableOutputReadyIs(true);
  state->mibStormControlIfTableOutputReadyIs(true);
  EXPECT_EQ(attributes, (std::vector<U16>{OutputState::readyAttr,
                                          OutputState::mibStormControlIfTableOutputReadyAttr}));
}

/// The message of the range error `f` throws, or "" if it throws none.
std::string rangeError(const std::function<void()>& f) try {
  return f(), "";
} catch (const Qel::RangeException& e) {
  return e.what();
}

// Each kind of key's text parses back to it and is what it streams; the flag is part of the
// key's equality, order, hash and text; texts with another field or class are refused.
TEST(MibStormControlIfTableOutputKeyTypeTest, TextParseHashValidationAndRefusals) {
  const Qel::TypeData& type = stormControlIfTableSmModule().type(5);
  const Qel::TypeOps& ops = type.ops();
  const OutputKey unset(Key(5, TC::all)), valid = OutputKey::valid(Key(5, TC::all));
  for (const OutputKey& k : {OutputKey(), unset, valid, OutputKey::valid(Key()),
                             OutputKey::valid(Key(0xffffffffu, TC::unknownUnicast))}) {
    const Pondo::String text = ops.text(&k);
    Qel::CharRange range(text.view());
    const OutputKey copy = k;
    EXPECT_TRUE(std::any_cast<OutputKey>(ops.parse(text)) == k && OutputKey(range) == k &&
                Qel::strepToValue(text, static_cast<OutputKey*>(nullptr)) == k &&
                testing::PrintToString(k) == text.stdString() && ops.hash(&k) == k.hash(0) &&
                ops.isEq(&k, &copy) && OutputKey::isEq(&k, &copy) &&
                ops.isNonDefault(&k) == !(k == OutputKey()))
        << text;
  }
  EXPECT_TRUE(!OutputKey::isEq(&unset, &valid) && unset.hash(0) != valid.hash(0));
  EXPECT_TRUE(unset < valid && valid < OutputKey(Key(5, TC::broadcast))) << "flag, then row key";
  EXPECT_NE(valid.hash(0), OutputKey::valid(Key(5, TC::broadcast)).hash(0));
  auto k = std::any_cast<OutputKey>(ops.construct({Key(9, TC::multicast)}));
  EXPECT_EQ(std::any_cast<Key>(Qel::attrRead(type, &k, 2)), Key(9, TC::multicast));
  EXPECT_FALSE(std::any_cast<bool>(Qel::attrRead(type, &k, 3)));
  Qel::attrInvoke(type, &k, 4);
  EXPECT_EQ(k, OutputKey::valid(Key(9, TC::multicast)));
  const std::string text = ops.text(&k).stdString();
  std::string otherFlag = text, badClass = text;
  otherFlag.replace(otherFlag.find("k0Valid"), 7, "k1Valid");
  badClass.replace(badClass.find("multicast"), 9, "everycast");
  for (const std::string& bad : {"{k1" + text.substr(3), otherFlag, text + "x"}) {
    EXPECT_THROW(ops.parse(Pondo::String(bad)), Qel::Exception) << bad;
  }
  EXPECT_NE(rangeError([&] { ops.parse(Pondo::String(badClass)); }).find("k0"), std::string::npos);
}

// Each object names its own type; the generic constructor takes mib, slice, ifMib and control.
// Attribute 138 adds keys with the value true, answers membership, size and version, and
// removes keys; adding with false is refused, saying so, and changes nothing.
TEST_F(StormControlIfTableSmTest, TypesConstructionAndSeenSetGenericAccess) {
  start(Ostra::SmControl::synchronousOn);
  const Qel::Module& m = stormControlIfTableSmModule();
  const std::vector<const Qel::TypeData*> types{sm_->inputSmScanState()->typeData(),
                                                sm_->outputState()->typeData(),
                                                childSm("status0")->typeData(),
                                                sm_->ifMibSm2()->typeData(),
                                                sm_->sliceSm0()->typeData(),
                                                &m.type(5),
                                                sm_->typeData()};
  for (U16 i = 0; i < types.size(); ++i) EXPECT_EQ(types[i], &m.type(i)) << i;
  const auto made = std::any_cast<Pondo::Ptr<Sm>>(m.type(6).ops().construct(
      {mib_, Pondo::Ptr<const Qel::Dir>(slice_), Pondo::Ptr<const IntfSnmp::IfMib>(ifMib_),
       control(Ostra::SmControl::synchronousOn)}));
  EXPECT_TRUE(made->mib() == mib_ && made->slice() == slice_ && made->ifMib() == ifMib_);
  EXPECT_TRUE(made->synchronous() && made->hasNotificationActive());
  const Qel::TypeData& type = *sm_->typeData();
  const Qel::CollectionAccess& seen = Qel::attrCollection(type, 138);
  const OutputKey k1 = OutputKey::valid(Key(1, TC::all)), k2 = OutputKey::valid(Key(2, TC::all));
  const U32 version = seen.version(sm_.get());
  for (const OutputKey& k : {k1, k2, k1}) Qel::attrSet(type, sm_.get(), 138, {k, true});
  EXPECT_TRUE(seen.count(sm_.get()) == 2 && seen.version(sm_.get()) != version);
  EXPECT_TRUE(seen.contains(sm_.get(), k1));
  EXPECT_FALSE(seen.contains(sm_.get(), OutputKey(Key(1, TC::all)))) << "the flag is in the key";
  const U32 before = seen.version(sm_.get());
  const std::string refusal = rangeError([&] {
    Qel::attrSet(type, sm_.get(), 138, {OutputKey::valid(Key(3, TC::all)), false});
  });
  EXPECT_TRUE(refusal.find("false") != refusal.npos && refusal.find("only") != refusal.npos)
      << refusal;
  EXPECT_EQ(seen.version(sm_.get()), before);
  for (int i = 0; i < 2; ++i) Qel::attrDel(type, sm_.get(), 138, {k1});
  EXPECT_TRUE(!seen.contains(sm_.get(), k1) && seen.count(sm_.get()) == 1);
}

// With level 7 off nothing of that level is traced and no status formatted; on again, it is.
TEST_F(StormControlIfTableSmTest, DisabledLevelFormatsNothing) {
  Pondo::Platform::getDebugHandler(Pondo::String(traceName_), false)->levelMaskIs(0xff7f);
  CountedIntfStatus::texts = 0;
  intfIs("Ethernet1", 5);
  start();
  settle();
  note();
  EXPECT_EQ(CountedIntfStatus::texts, 0) << "a status was formatted for a disabled level";
  Pondo::Platform::getDebugHandler(Pondo::String(traceName_), false)->levelMaskIs(0xffff);
  publishIn(*status0_, "Ethernet1", 200);
  EXPECT_GT(CountedIntfStatus::texts, 0);
  expectRecord();
}

// Null inputs stop the machine (checked as mib, slice, ifMib); so does a withdrawal after a
// missed change of the interface indexes or of a status entity.
TEST_F(StormControlIfTableSmDeathTest, NullInputsAndMissedNotifications) {
  const std::string null = "\\(\\) && \"Pointer SM args cannot be null unless they are marked";
  const std::string missed = "We missed notifications that happened to ";
  const std::pair<std::function<void()>, std::string> faults[] = {
      {[&] { Sm::StormControlIfTableSmIs(nullptr, nullptr, nullptr, control()); }, "mib" + null},
      {[&] { Sm::StormControlIfTableSmIs(mib_, nullptr, nullptr, control()); }, "slice" + null},
      {[&] { Sm::StormControlIfTableSmIs(mib_, slice_, nullptr, control()); }, "ifMib" + null},
      {[&] {
         sm_->ifMibSm2()->qelDoZombieReactors(true);
         ifIndexIs("Ethernet1", 6);
         sm_->doDeleteAll();
       },
       missed + "ifIndexByIntfId before"},
      {[&] {
         childSm("status0")->hasNotificationActiveIs(false);
         publishIn(*status0_, "Ethernet2");
         slice_->entityDel(real("status0"));
       },
       missed + "intfStatus before"}};
  intfIs("Ethernet1", 5);
  startReady();
  for (const auto& [fault, message] : faults) EXPECT_DEATH(fault(), message);
}

}  // namespace
}  // namespace StormControlSnmp::SmTest
