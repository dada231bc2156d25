// tests/StormControlSnmp/sm/SmFixture.h — a table machine with its inputs, for scenario tests.
///
/// The fixture builds the table entity, a slice directory holding the status entity "status0",
/// the interface MIB and a scheduler of its own that never yields unless a test asks
/// (`yieldAfterChecksIs`). It logs the table's publications in order, captures the traces of a
/// handler named after the test (all levels on), and checks after every test that the live
/// counts of the machine's types, the tasks, rows and inputs are back at their start values.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "StormControlSnmp/StormControlIfTableSm.h"
#include "StormControlSnmp/StormControlIfTableSmInputs.h"
#include "StormControlSnmp/StormControlIfTableSmModule.h"
#include "TraceCapture.h"

namespace StormControlSnmp::SmTest {

using Bridging::StormControl::IntfStatus;
using Bridging::StormControl::Status;
using Key = StormControlIfTableKey;
using TC = StormControlTCType;
using StatusPtr = Pondo::Ptr<const IntfStatus>;
using Sm = StormControlIfTableSm;
using ScanState = Ostra::Gen::InputScanState;
using Events = std::vector<std::string>;

/// A status whose entity text is counted (the text reads `typeData`), so a test can tell
/// whether a trace formatted it.
class CountedIntfStatus : public IntfStatus {
 public:
  using IntfStatus::IntfStatus;
  const Qel::TypeData* typeData() const override {
    ++texts;
    return IntfStatus::typeData();
  }
  static inline int texts = 0;
};

inline std::string entityText(const StatusPtr& status) {
  std::ostringstream out;
  out << static_cast<const Qel::Entity*>(status.get());
  return out.str();
}

/// "+5.all" for an insertion of row (5, all), "-5.all" for its removal.
inline std::string rowEvent(char sign, const Key& key) {
  return sign + std::to_string(key.ifIndex()) + "." + stringValue(key.trafficClass()).stdString();
}

/// The four row events of one interface, in key order.
inline Events rowEvents(char sign, U32 ifIndex) {
  Events out;
  for (TC tc : stormControlTCTypes) out.push_back(rowEvent(sign, Key(ifIndex, tc)));
  return out;
}

/// A new status replacing the rows of one interface: delete then insert, row by row.
inline Events replacedRows(U32 ifIndex) {
  Events out;
  for (TC tc : stormControlTCTypes) {
    out.push_back(rowEvent('-', Key(ifIndex, tc)));
    out.push_back(rowEvent('+', Key(ifIndex, tc)));
  }
  return out;
}

inline Events concat(std::initializer_list<Events> parts) {
  Events out;
  for (const Events& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

/// A new status object for `intf`, not yet published.
inline StatusPtr newStatus(const char* intf, U64 level = 100) {
  IntfStatus::Classes c;
  c.all.threshold.level = level;
  c.broadcast.drops = level;
  return Pondo::make<CountedIntfStatus>(Pondo::String(intf), c);
}

/// Publishes a new status object for `intf` in `entity` and returns it.
inline StatusPtr publishIn(Status& entity, const char* intf, U64 level = 100) {
  StatusPtr status = newStatus(intf, level);
  entity.intfStatusIs(Pondo::String(intf), status);
  return status;
}

/// Records the table's publications in order.
class TableLog {
 public:
  explicit TableLog(StormControlMib& mib) { mib.publisher()->subscriberAdd(slot_, false); }
  Events events;

 private:
  void onChange(const Pondo::Change& c) {
    if (c.attribute != StormControlMib::stormControlIfTableAttr) return;
    events.push_back(rowEvent(c.previous ? '-' : '+', *static_cast<const Key*>(c.key)));
  }
  Pondo::Subscriber slot_{this, Pondo::memberHandler<&TableLog::onChange>};
};

using LiveCounts = std::map<std::string, U64>;

/// Live objects of every type the machine creates or holds. The two hash-node types share a
/// type name, so they are named here.
inline LiveCounts liveCounts() {
  namespace K = KrelCode::StormControlIfTableSm;
  LiveCounts out{
      {"seen set node", Sm::HN_MibStormControlIfTableOutputSeen::memAllocationTracker_.liveObjects},
      {"child map node", K::SliceSm0::ChildMap::Node::memAllocationTracker_.liveObjects}};
  for (const Pooly::AllocTracker* t :
       {&Sm::memAllocationTracker_, &K::InputSmScanState::memAllocationTracker_,
        &K::OutputState::memAllocationTracker_, &K::IfMibSm2::memAllocationTracker_,
        &K::SliceSm0::memAllocationTracker_, &K::EntityPtrSm1::memAllocationTracker_,
        &Velo::Task::memAllocationTracker_, &Velo::TaskScheduler::memAllocationTracker_,
        &StormControlIfTableEntry::memAllocationTracker_, &StormControlMib::memAllocationTracker_,
        &IntfStatus::memAllocationTracker_, &Status::memAllocationTracker_,
        &Qel::Dir::memAllocationTracker_, &IntfSnmp::IfMib::memAllocationTracker_}) {
    out[t->typeName] = t->liveObjects;
  }
  return out;
}

class SmFixture : public ::testing::Test {
 protected:
  SmFixture() {
    scheduler_->yieldAfterChecksIs(1u << 30);
    slice_->entityIs(status0_);
    handler()->levelMaskIs(0xffff);
    CountedIntfStatus::texts = 0;
  }

  void TearDown() override {
    sm_ = nullptr;
    status0_ = nullptr;
    slice_ = nullptr;
    ifMib_ = nullptr;
    mib_ = nullptr;
    scheduler_ = nullptr;
    EXPECT_EQ(liveCounts(), liveAtStart_) << "live objects differ from the start of the test";
  }

  static std::string testTraceName() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return std::string("SmTest.") + info->test_suite_name() + "." + info->name();
  }
  Pondo::Ptr<Pondo::Platform::DebugHandler> handler() const {
    return Pondo::Platform::getDebugHandler(Pondo::String(traceName_), false);
  }
  Ostra::SmControl control(U8 synchronous = 0) const {
    Ostra::SmControl c;
    c.schedulerIs(scheduler_);
    c.traceNameIs(Pondo::String(traceName_));
    c.synchronousIs(synchronous);
    return c;
  }
  Pondo::Ptr<Sm> makeSm(U8 synchronous = 0) {
    return Sm::StormControlIfTableSmIs(mib_, slice_, ifMib_, control(synchronous));
  }
  void start(U8 synchronous = 0) { sm_ = makeSm(synchronous); }
  /// Runs every scheduled task (bounded) and expects the scheduler to be idle afterwards.
  void settle() {
    scheduler_->runUntilIdle(10000);
    EXPECT_TRUE(scheduler_->idle()) << "tasks are still scheduled";
  }
  /// Runs tasks one at a time until the children's first scans are done (bounded).
  void runUntilInitialScanDone() {
    for (int runs = 0; runs < 100 && !sm_->initialScanDone(); ++runs) scheduler_->runOne();
    EXPECT_TRUE(sm_->initialScanDone());
  }
  /// Starts the machine, lets it become ready, then forgets the publications and traces.
  void startReady() {
    start();
    settle();
    EXPECT_TRUE(sm_->ready());
    log_.events.clear();
    traces_.records.clear();
  }

  Pondo::Ptr<Status> addEntity(const char* name) {
    auto entity = Pondo::make<Status>(Pondo::String(name));
    slice_->entityIs(entity);
    return entity;
  }
  void ifIndexIs(const char* intf, U32 ifIndex) {
    ifMib_->ifIndexByIntfIdIs(Lumo::IntfId(Pondo::String(intf)), ifIndex);
  }
  void ifIndexDel(const std::string& intf) {
    ifMib_->ifIndexByIntfIdDel(Lumo::IntfId(Pondo::String(intf)));
  }
  /// An interface with a status in "status0" and an ifIndex; returns the status.
  StatusPtr intfIs(const char* intf, U32 ifIndex) {
    ifIndexIs(intf, ifIndex);
    return publishIn(*status0_, intf);
  }
  /// The machine of the slice's entity `entity`, or null.
  KrelCode::StormControlIfTableSm::EntityPtrSm1* childSm(const char* entity) const {
    const auto* child = sm_->sliceSm0()->childSmEntityPtrBridgingStormControlStatusPtrConst().find(
        Pondo::String(entity));
    return child ? child->get() : nullptr;
  }
  /// Interface names in the iteration order of the interface MIB's map.
  Events ifMibOrder() const {
    Events out;
    for (auto it = ifMib_->ifIndexByIntfId().begin(); !it.atEnd(); ++it) {
      out.push_back(it.key().stringValue().stdString());
    }
    return out;
  }
  /// Pre-fills the table as an earlier machine left it.
  void rowIs(U32 ifIndex, TC tc, const StatusPtr& status) {
    mib_->stormControlIfTableIs(Key(ifIndex, tc), status);
  }
  void rowsIs(U32 ifIndex, const StatusPtr& status) {
    for (TC tc : stormControlTCTypes) rowIs(ifIndex, tc, status);
  }
  /// The table's keys in order, as "5.all".
  Events tableKeys() const {
    Events out;
    for (auto it = mib_->stormControlIfTable().begin(); !it.atEnd(); ++it) {
      out.push_back(rowEvent('+', it->key()).substr(1));
    }
    return out;
  }
  /// All four rows of `ifIndex` are present and refer to `status`.
  bool rowsReferTo(U32 ifIndex, const StatusPtr& status) const {
    for (TC tc : stormControlTCTypes) {
      const StormControlIfTableEntry* row = mib_->stormControlIfTable(Key(ifIndex, tc));
      if (!row || row->status().get() != status.get()) return false;
    }
    return true;
  }

  /// This test's trace records, in order.
  std::vector<Pondo::TraceRecord> records() const {
    std::vector<Pondo::TraceRecord> out;
    for (const auto& r : traces_.records) {
      if (r.facility == traceName_) out.push_back(r);
    }
    return out;
  }
  /// This test's records as "Component/level/text".
  Events traced() const {
    Events out;
    for (const auto& r : records()) {
      out.push_back(r.component + "/" + std::to_string(r.level) + "/" + r.text);
    }
    return out;
  }
  /// Texts traced by the machine itself (not its children), without empty entry marks.
  Events rootTexts() const {
    Events out;
    for (const auto& r : records()) {
      if (r.component == "StormControlIfTableSm" && !r.text.empty()) out.push_back(r.text);
    }
    return out;
  }
  /// Texts that start with one of `prefixes`, in order.
  Events textsStarting(std::initializer_list<std::string> prefixes) const {
    Events out;
    for (const auto& r : records()) {
      for (const std::string& p : prefixes) {
        if (r.text.starts_with(p)) out.push_back(r.text);
      }
    }
    return out;
  }
  int tracedCount(const std::string& text) const {
    const auto all = records();
    return int(
        std::count_if(all.begin(), all.end(), [&](const auto& r) { return r.text == text; }));
  }
  int levelCount(U16 level) const {
    const auto all = records();
    return int(
        std::count_if(all.begin(), all.end(), [&](const auto& r) { return r.level == level; }));
  }

  const LiveCounts liveAtStart_ = liveCounts();
  const std::string traceName_ = testTraceName();
  TraceCapture traces_;
  Pondo::Ptr<Velo::TaskScheduler> scheduler_ = Pondo::make<Velo::TaskScheduler>();
  Pondo::Ptr<StormControlMib> mib_ = stormControlMibFactory("stormcontrolmib");
  TableLog log_{*mib_};
  Pondo::Ptr<Qel::Dir> slice_ = Pondo::make<Qel::Dir>("slice");
  Pondo::Ptr<Status> status0_ = Pondo::make<Status>("status0");
  Pondo::Ptr<IntfSnmp::IfMib> ifMib_ = Pondo::make<IntfSnmp::IfMib>("ifMib");
  Pondo::Ptr<Sm> sm_;
};

}  // namespace StormControlSnmp::SmTest
