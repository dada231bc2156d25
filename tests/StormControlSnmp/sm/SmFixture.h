// tests/StormControlSnmp/sm/SmFixture.h — a table machine with its inputs, for scenario tests.
///
/// The table entity, a slice holding the status entity "status0", the interface MIB and a
/// scheduler that never yields unless a test asks. A scenario's record (`expectRecord`, compared
/// with its section of expected-trace.txt) holds its traces at every level, the table's
/// publications and the machine's whole state where the test notes it. After every test the
/// live objects of the machine's types, tasks, rows and inputs are back at their start.
///
/// Hash orders follow a seed chosen per process, so the inputs hold a permutation of the names
/// "Ethernet0".."Ethernet9" and "status0".."status9" under which the names tests write iterate in
/// the order of their digits: `real` gives the name an input holds, `written` maps texts back.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "StormControlSnmp/StormControlIfTableSm.h"
#include "StormControlSnmp/StormControlIfTableSmInputs.h"
#include "StormControlSnmp/StormControlIfTableSmModule.h"
#include "StormControlSnmp/StormControlSnmpAgent.h"
#include "TraceCapture.h"

namespace StormControlSnmp::SmTest {

using Bridging::StormControl::IntfStatus;
using Bridging::StormControl::Status;
using Bridging::StormControl::TrafficClass;
using Key = StormControlIfTableKey;
using TC = StormControlTCType;
using StatusPtr = Pondo::Ptr<const IntfStatus>;
using Sm = StormControlIfTableSm;
using ScanState = Ostra::Gen::InputScanState;

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

/// "+5.all" for an insertion of row (5, all), "-5.all" for its removal.
inline std::string rowEvent(char sign, const Key& key) {
  return sign + std::to_string(key.ifIndex()) + "." + stringValue(key.trafficClass()).stdString();
}

/// A status that counts the formatting of its entity text (the text reads `typeData`).
struct CountedIntfStatus : IntfStatus {
  using IntfStatus::IntfStatus;
  const Qel::TypeData* typeData() const override { return ++texts, IntfStatus::typeData(); }
  static inline int texts = 0;
};

/// A new status object for `intf` with threshold level `level`, not yet published.
inline StatusPtr newStatus(const char* intf, U64 level = 100) {
  Bridging::StormControl::Classes c;
  c[TrafficClass::all].threshold.level = level;
  c[TrafficClass::broadcast].drops = level;
  return Pondo::make<CountedIntfStatus>(real(intf), c);
}

/// Publishes a new status object for `intf` in `entity` and returns it.
inline StatusPtr publishIn(Status& entity, const char* intf, U64 level = 100) {
  StatusPtr status = newStatus(intf, level);
  entity.intfStatusIs(real(intf), status);
  return status;
}

/// Calls `f` with each change `publisher` publishes while this lives (built in place).
struct OnChange {
  OnChange(Pondo::Publisher* publisher, std::function<void(const Pondo::Change&)> f) : f(f) {
    publisher->subscriberAdd(slot, false);
  }
  void onChange(const Pondo::Change& c) { f(c); }
  std::function<void(const Pondo::Change&)> f;
  Pondo::Subscriber slot{this, Pondo::memberHandler<&OnChange::onChange>};
};

/// Live objects of every type the machine and the agent create or hold (the two hash-node
/// types share a type name, so they are named here).
inline std::map<std::string, U64> liveCounts() {
  namespace K = KrelCode::StormControlIfTableSm;
  std::map<std::string, U64> out{
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
    during_ = nullptr, sm_ = nullptr, status0_ = nullptr, slice_ = nullptr, ifMib_ = nullptr;
    mib_ = nullptr, scheduler_ = nullptr;
    EXPECT_EQ(liveCounts(), liveAtStart_) << "live objects differ from the start of the test";
  }

  Ostra::SmControl control(U8 synchronous = 0) const {
    Ostra::SmControl c;
    c.schedulerIs(scheduler_);
    c.traceNameIs(Pondo::String(traceName_));
    c.synchronousIs(synchronous);
    return c;
  }
  void start(U8 synchronous = 0) {
    sm_ = Sm::StormControlIfTableSmIs(mib_, slice_, ifMib_, control(synchronous));
  }
  /// Runs `scheduler` (by default the fixture's) until idle, failing after 10000 task runs.
  void settle(Velo::TaskScheduler* scheduler = nullptr) {
    Velo::TaskScheduler& s = scheduler ? *scheduler : *scheduler_;
    s.runUntilIdle(10000);
    ASSERT_TRUE(s.idle()) << "still busy after 10000 task runs";
  }
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
  /// Adds a record of level 0 (not a trace) to the test's record.
  void add(const char* component, const char* function, const std::string& text) {
    traces_.records.push_back({traceName_, 0, component, "", function, 0, text});
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
    scan("ifMib", sm_->ifMibSm2()->inputScanState(),
         sm_->ifMibSm2()->inputScanBookmark().stringValue().stdString());
    scan("slice", sm_->sliceSm0()->inputScanState(),
         sm_->sliceSm0()->inputScanBookmark().stdString());
    for (auto it = sm_->sliceSm0()->childSmEntityPtrBridgingStormControlStatusPtrConst().begin();
         !it.atEnd(); ++it) {
      scan(it.key().c_str(), it.value()->inputScanState(),
           it.value()->inputScanBookmark().stdString());
    }
    for (const auto& [name, task] :
         {std::pair("ifMib", sm_->ifMibSm2()->task()),
          {"slice", sm_->sliceSm0()->task()},
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
    add("STATE", "note", out.str());
  }
  /// Expects the test's records (of the handler named after it, and of `other` if given) to be
  /// its section of the expected-trace file, one line per record: component ("-" if none),
  /// level, function, written text in quotes.
  void expectRecord(const std::string& other = "") const {
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
    for (const auto& r : traces_.records) {
      if (r.facility != traceName_ && r.facility != other) continue;
      actual += (r.component.empty() ? "-" : r.component) + " " + std::to_string(r.level) + " " +
                r.function + " \"" + written(r.text) + "\"\n";
    }
    const std::string name = testName();
    if (std::getenv("SM_TRACE_RECORD")) {
      sections[name] = actual;
      std::ofstream out(SM_EXPECTED_TRACE);
      out << header;
      for (const auto& [test, text] : sections) out << "== " << test << "\n" << text << "\n";
      return;
    }
    ASSERT_TRUE(sections.contains(name)) << "no expected trace; SM_TRACE_RECORD=1 records it";
    EXPECT_EQ(sections[name], actual) << "traces differ; SM_TRACE_RECORD=1 accepts them";
  }

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
  /// The machine's table in key order, with real names: "5=Ethernet1/100" for the four rows of
  /// ifIndex 5 when they refer to one status (of Ethernet1, level 100; "null" for none), else
  /// "5.0=..." per row.
  std::string table() const {
    std::map<U32, std::vector<std::string>> byIfIndex;
    for (auto it = sm_->mib()->stormControlIfTable().begin(); !it.atEnd(); ++it) {
      const StatusPtr& s = it->status();
      byIfIndex[it->ifIndex()].push_back(
          s ? s->name().stdString() + "/" +
                  std::to_string(s->classStatus(TrafficClass::all).threshold.level)
            : "null");
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
  /// An input that, as it goes, adds to the record the live objects that differ from the start.
  template <class Input>
  struct Probe : Input {
    template <class... Args>
    Probe(SmFixture* test, const char* name, Args... args)
        : Input(args...), test(test), name(name) {}
    ~Probe() override { test->released(name); }
    SmFixture* test;
    const char* name;
  };
  void released(const char* name) {
    std::string diff;
    for (const auto& [type, live] : liveCounts()) {
      const auto change = std::int64_t(live) - std::int64_t(liveAtStart_.at(type));
      if (change) diff += " " + type + " " + std::to_string(change);
    }
    add("RELEASE", name, diff.substr(1));
  }

  const std::map<std::string, U64> liveAtStart_ = liveCounts();
  const std::string traceName_ = "SmTest." + testName();
  TraceCapture traces_;
  Pondo::Ptr<Velo::TaskScheduler> scheduler_ = Pondo::make<Velo::TaskScheduler>();
  Pondo::Ptr<StormControlMib> mib_ = stormControlMibFactory("stormcontrolmib");
  std::function<void()> during_;  ///< runs inside each of the table's publications
  OnChange log_{mib_->publisher(), [this](const Pondo::Change& c) {
                  add("TABLE", "publish",
                      rowEvent(c.previous ? '-' : '+', *static_cast<const Key*>(c.key)));
                  if (const auto during = during_) during();
                }};
  Pondo::Ptr<Qel::Dir> slice_ = Pondo::make<Qel::Dir>("slice");
  Pondo::Ptr<Status> status0_ = Pondo::make<Status>(real("status0"));
  Pondo::Ptr<IntfSnmp::IfMib> ifMib_ = Pondo::make<IntfSnmp::IfMib>("ifMib");
  Pondo::Ptr<Sm> sm_;
};

}  // namespace StormControlSnmp::SmTest
