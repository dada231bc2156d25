// tests/StormControlSnmp/sm/SmFixture.h — a table machine with its inputs, for scenario tests.
///
/// The fixture builds the table entity, a slice directory holding the status entity "status0",
/// the interface MIB and a scheduler of its own that never yields unless a test asks. A
/// scenario's record holds, in order, the traces of a handler named after the test (all levels
/// on), the table's publications ("+5.all" an insertion, "-5.all" a removal) and the machine's
/// whole state where the test notes it (`note`); `expectRecord` compares it with the test's
/// section of expected-trace.txt (SM_TRACE_RECORD=1 rewrites the section). After every test
/// the live objects of the machine's types, the tasks, rows and inputs are back at their start.
///
/// Hash orders follow a seed chosen per process, so tests write interfaces "Ethernet0" to
/// "Ethernet9" and entities "status0" to "status9" while the inputs hold a permutation of each
/// family under which the written names iterate in the order of their digits: `real` gives
/// the name an input holds, `written` maps names in a text back.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "StormControlSnmp/StormControlIfTableSm.h"
#include "StormControlSnmp/StormControlIfTableSmInputs.h"
#include "StormControlSnmp/StormControlIfTableSmModule.h"
#include "StormControlSnmp/StormControlSnmpAgent.h"
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

/// The permutation of names, from written to real (`toReal`) or back.
inline const std::map<std::string, std::string>& names(bool toReal) {
  static const auto maps = [] {
    std::array<std::map<std::string, std::string>, 2> out;
    for (const std::string family : {"Ethernet", "status"}) {
      Qel::HashMap2018<Pondo::String, int> probe;
      for (char d = '0'; d <= '9'; ++d) probe.insert(Pondo::String(family + d), 0);
      char d = '0';
      for (auto it = probe.begin(); !it.atEnd(); ++it, ++d) {
        out[0][it.key().stdString()] = family + d;
        out[1][family + d] = it.key().stdString();
      }
    }
    return out;
  }();
  return maps[toReal];
}
inline Pondo::String real(const std::string& name) { return Pondo::String(names(true).at(name)); }

/// `text` with real names written, and object addresses as "@*".
inline std::string written(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    if (text.compare(i, 3, "@0x") == 0) {
      for (i += 3, out += "@*"; i < text.size() && std::isxdigit(text[i]); ++i) {
      }
      continue;
    }
    std::size_t n = 0;  // the length of a name at i
    for (const std::string family : {"Ethernet", "status"}) {
      const std::size_t end = i + family.size();
      if (text.compare(i, family.size(), family) == 0 && end < text.size() &&
          std::isdigit(text[end])) {
        n = family.size() + 1;
      }
    }
    out += n ? names(false).at(text.substr(i, n)) : text.substr(i, 1);
    i += n ? n : 1;
  }
  return out;
}

inline std::string testName() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  return std::string(info->test_suite_name()) + "." + info->name();
}

/// Expects the records of `facility` to be this test's section of the expected-trace file,
/// one line per record: component ("-" if none), level, function, written text in quotes.
/// The table's publications and noted states come as records of level 0.
inline void expectTrace(const std::vector<Pondo::TraceRecord>& records,
                        const std::string& facility) {
  static std::string header;
  static std::map<std::string, std::string> sections = [] {
    std::map<std::string, std::string> out;
    std::ifstream in(SM_EXPECTED_TRACE);
    std::string* section = &header;
    for (std::string line; std::getline(in, line);) {
      if (line.starts_with("== "))
        section = &out[line.substr(3)];
      else if (!line.empty() || section == &header)
        *section += line + "\n";
    }
    return out;
  }();
  std::string actual;
  for (const auto& r : records) {
    if (r.facility != facility) continue;
    actual += (r.component.empty() ? "-" : r.component) + " " + std::to_string(r.level) + " " +
              r.function + " \"" + written(r.text) + "\"\n";
  }
  if (std::getenv("SM_TRACE_RECORD")) {
    sections[testName()] = actual;
    std::ofstream out(SM_EXPECTED_TRACE);
    out << header;
    for (const auto& [name, text] : sections) out << "== " << name << "\n" << text << "\n";
    return;
  }
  ASSERT_TRUE(sections.contains(testName())) << "no expected trace; SM_TRACE_RECORD=1 records it";
  EXPECT_EQ(sections[testName()], actual) << "traces differ; SM_TRACE_RECORD=1 accepts them";
}

/// Runs `scheduler` until it is idle, failing the test if 10000 runs do not get it there.
inline void settle(Velo::TaskScheduler& scheduler) {
  scheduler.runUntilIdle(10000);
  ASSERT_TRUE(scheduler.idle()) << "still busy after 10000 task runs";
}

/// "+5.all" for an insertion of row (5, all), "-5.all" for its removal.
inline std::string rowEvent(char sign, const Key& key) {
  return sign + std::to_string(key.ifIndex()) + "." + stringValue(key.trafficClass()).stdString();
}

/// A status whose entity text is counted (the text reads `typeData`), so a test can tell
/// whether a trace formatted it.
struct CountedIntfStatus : IntfStatus {
  using IntfStatus::IntfStatus;
  const Qel::TypeData* typeData() const override { return ++texts, IntfStatus::typeData(); }
  static inline int texts = 0;
};

/// A new status object for `intf` with threshold level `level`, not yet published.
inline StatusPtr newStatus(const char* intf, U64 level = 100) {
  IntfStatus::Classes c;
  c.all.threshold.level = level;
  c.broadcast.drops = level;
  return Pondo::make<CountedIntfStatus>(real(intf), c);
}

/// Publishes a new status object for `intf` in `entity` and returns it.
inline StatusPtr publishIn(Status& entity, const char* intf, U64 level = 100) {
  StatusPtr status = newStatus(intf, level);
  entity.intfStatusIs(real(intf), status);
  return status;
}

/// Adds the table's publications to `records` as records of `facility`; `during` runs inside
/// each delivery.
struct TableLog {
  TableLog(StormControlMib& mib, std::vector<Pondo::TraceRecord>& records, std::string facility)
      : records(records), facility(std::move(facility)) {
    mib.publisher()->subscriberAdd(slot, false);
  }
  void onChange(const Pondo::Change& c) {
    const std::string text = rowEvent(c.previous ? '-' : '+', *static_cast<const Key*>(c.key));
    records.push_back({facility, 0, "TABLE", "", "publish", 0, text});
    if (during) during();
  }
  std::vector<Pondo::TraceRecord>& records;
  const std::string facility;
  std::function<void()> during;
  Pondo::Subscriber slot{this, Pondo::memberHandler<&TableLog::onChange>};
};

using LiveCounts = std::map<std::string, U64>;

/// Live objects of every type the machine and the agent create or hold (the two hash-node
/// types share a type name, so they are named here).
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
        &Qel::Dir::memAllocationTracker_, &IntfSnmp::IfMib::memAllocationTracker_,
        &Root::memAllocationTracker_, &StormControlSnmpAgent::memAllocationTracker_}) {
    out[t->typeName] = t->liveObjects;
  }
  return out;
}

class SmFixture : public ::testing::Test {
 protected:
  SmFixture() {
    scheduler_->yieldAfterChecksIs(1u << 30);
    slice_->entityIs(status0_);
    Pondo::Platform::getDebugHandler(Pondo::String(traceName_), false)->levelMaskIs(0xffff);
  }
  void TearDown() override {
    sm_ = nullptr, status0_ = nullptr, slice_ = nullptr, ifMib_ = nullptr, mib_ = nullptr;
    scheduler_ = nullptr;
    EXPECT_EQ(liveCounts(), liveAtStart_) << "live objects differ from the start of the test";
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
  void settle() { SmTest::settle(*scheduler_); }
  /// Runs tasks one at a time until the children's first scans are done (bounded).
  void runUntilInitialScanDone() {
    for (int runs = 0; runs < 100 && !sm_->initialScanDone(); ++runs) scheduler_->runOne();
    ASSERT_TRUE(sm_->initialScanDone());
  }
  /// Starts the machine, lets it become ready, then forgets the publications and traces.
  void startReady() {
    start();
    settle();
    EXPECT_TRUE(sm_->ready());
    traces_.records.clear();
  }
  /// Adds the machine's whole state to the record: its phase and scan flags, each input
  /// machine's scan state (and bookmark), its tasks' runs and work, the reconciliation (seen
  /// keys, bookmark), the table.
  void note() {
    std::ostringstream out;
    const auto& flags = *sm_->inputSmScanState();
    out << (sm_->ready()             ? "ready"
            : sm_->initialScanDone() ? "scanned"
                                     : "initial")
        << (flags.ifMibStreamScan() ? " ifMibScan" : "")
        << (flags.statusStreamScan() ? " statusScan" : "") << (sm_->idle() ? " idle" : "");
    const auto scan = [&](const char* name, ScanState state, const std::string& bookmark) {
      out << "; " << name << " " << stringValue(state)
          << (state == ScanState::yielded ? " at " + bookmark : "");
    };
    scan("ifMib", sm_->ifMibSm2()->inputScanState1(),
         sm_->ifMibSm2()->inputScanBookmark1().stringValue().stdString());
    scan("slice", sm_->sliceSm0()->inputScanState0(),
         sm_->sliceSm0()->inputScanBookmark0().stdString());
    for (auto it = sm_->sliceSm0()->childSmEntityPtrBridgingStormControlStatusPtrConst().begin();
         !it.atEnd(); ++it) {
      scan(it.key().c_str(), it.value()->inputScanState0(),
           it.value()->inputScanBookmark0().stdString());
    }
    for (const auto& [name, task] :
         {std::pair("ifMib", sm_->ifMibSm2()->task1()),
          {"slice", sm_->sliceSm0()->task0()},
          {"reconciliation", sm_->mibStormControlIfTableOutputReconciliationTask()}}) {
      if (task)
        out << "; " << name << " task " << task->taskRuns() << " runs " << task->taskWorkCount()
            << " work";
    }
    if (sm_->mibStormControlIfTableOutputReconciling()) {
      out << "; reconciling, " << sm_->mibStormControlIfTableOutputSeen().count() << " seen";
      if (sm_->mibStormControlIfTableOutputUseBookmark()) {
        out << " at " << rowEvent('+', sm_->mibStormControlIfTableOutputBookmark().k0()).substr(1);
      }
    }
    out << "; rows " << table();
    traces_.records.push_back({traceName_, 0, "STATE", "", "note", 0, out.str()});
  }
  void expectRecord() const { expectTrace(traces_.records, traceName_); }

  void ifIndexIs(const char* intf, std::optional<U32> ifIndex) {
    if (ifIndex)
      ifMib_->ifIndexByIntfIdIs(Lumo::IntfId(real(intf)), *ifIndex);
    else
      ifMib_->ifIndexByIntfIdDel(Lumo::IntfId(real(intf)));
  }
  /// An interface with a status in "status0" and an ifIndex.
  void intfIs(const char* intf, U32 ifIndex, U64 level = 100) {
    ifIndexIs(intf, ifIndex);
    publishIn(*status0_, intf, level);
  }
  /// The machine of the slice's entity `entity`, or null.
  KrelCode::StormControlIfTableSm::EntityPtrSm1* childSm(const char* entity) const {
    const auto* child =
        sm_->sliceSm0()->childSmEntityPtrBridgingStormControlStatusPtrConst().find(real(entity));
    return child ? child->get() : nullptr;
  }
  /// Pre-fills the table as an earlier machine left it: the rows of `ifIndex`, or one row.
  void rowsIs(U32 ifIndex, const StatusPtr& status, std::optional<TC> only = {}) {
    for (TC tc : stormControlTCTypes) {
      if (!only || tc == *only) mib_->stormControlIfTableIs(Key(ifIndex, tc), status);
    }
  }
  /// The whole table in key order, with real names: "5=Ethernet1/100" for the four rows of ifIndex
  /// 5 when they refer to one status (of Ethernet1, level 100; "null" for none), else "5.all=..."
  /// per row.
  std::string table() const {
    std::map<U32, Events> byIfIndex;
    for (auto it = mib_->stormControlIfTable().begin(); !it.atEnd(); ++it) {
      const StatusPtr& s = it->status();
      byIfIndex[it->ifIndex()].push_back(
          s ? s->name().stdString() + "/" + std::to_string(s->all().threshold.level) : "null");
    }
    std::string out;
    for (const auto& [ifIndex, values] : byIfIndex) {
      const bool whole = values.size() == 4 && std::ranges::count(values, values[0]) == 4;
      for (std::size_t i = 0; i < (whole ? 1 : values.size()); ++i) {
        out += " " + std::to_string(ifIndex) + (whole ? "" : "." + std::to_string(i)) + "=" +
               values[i];
      }
    }
    return out.empty() ? out : out.substr(1);
  }

  const LiveCounts liveAtStart_ = liveCounts();
  const std::string traceName_ = "SmTest." + testName();
  TraceCapture traces_;
  Pondo::Ptr<Velo::TaskScheduler> scheduler_ = Pondo::make<Velo::TaskScheduler>();
  Pondo::Ptr<StormControlMib> mib_ = stormControlMibFactory("stormcontrolmib");
  TableLog log_{*mib_, traces_.records, traceName_};
  Pondo::Ptr<Qel::Dir> slice_ = Pondo::make<Qel::Dir>("slice");
  Pondo::Ptr<Status> status0_ = Pondo::make<Status>(real("status0"));
  Pondo::Ptr<IntfSnmp::IfMib> ifMib_ = Pondo::make<IntfSnmp::IfMib>("ifMib");
  Pondo::Ptr<Sm> sm_;
};

}  // namespace StormControlSnmp::SmTest
