// tests/host/unit/InputsFixture.h — the plug-in's inputs and table machine, for state tests.
///
/// A slice directory, an interface MIB and a scheduler that never yields unless a test asks;
/// `InputLog` records every publication of the inputs in order ("entity+ s0", "status= s0/E1",
/// "status- s0/E1", "ifIndex= E1 5", "ifIndex- E1"), and the plug-in's real table machine runs
/// on them, so a test checks that the table ends as the published state says.
#pragma once

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "StormControlSnmp/StormControlIfTableSm.h"
#include "host/StateFile.h"
#include "host/SwitchInputs.h"

namespace HostTest {

using Bridging::StormControl::ClassStatus;
using Bridging::StormControl::IntfStatus;
using Bridging::StormControl::Status;
using Events = std::vector<std::string>;
using StatusPtr = Pondo::Ptr<const IntfStatus>;

inline const char* const classNames[] = {"all", "broadcast", "multicast", "unknownUnicast"};

/// The four traffic classes in table order.
inline std::array<const ClassStatus*, 4> classesOf(const IntfStatus::Classes& c) {
  return {&c.all, &c.broadcast, &c.multicast, &c.unknownUnicast};
}
inline std::array<const ClassStatus*, 4> classesOf(const IntfStatus& s) {
  return {&s.all(), &s.broadcast(), &s.multicast(), &s.unknownUnicast()};
}
/// A class's level, units, scale and drops, as a state file names them.
inline std::array<U64, 4> fieldsOf(const ClassStatus& c) {
  return {c.threshold.level, U64(c.threshold.type), c.threshold.scale, c.drops};
}

/// A fresh directory, removed with what it holds at the end of its scope.
struct TempDir {
  std::string path = [] {
    char pattern[] = "/tmp/host-unit-XXXXXX";
    return std::string(::mkdtemp(pattern));
  }();
  ~TempDir() { std::filesystem::remove_all(path); }
};

/// Records the publications of the slice directory, its status entities and the IfMib.
class InputLog {
 public:
  InputLog(Qel::Dir& slice, IntfSnmp::IfMib& ifMib) {
    add(*slice.publisher(), [this, &slice](const Pondo::Change& c) {
      const auto& name = *static_cast<const Pondo::String*>(c.key);
      const auto status = Pondo::dynamicPtrCast<const Status>(slice.entityPtr(name));
      events.push_back((status ? "entity+ " : "entity- ") + name.stdString());
      if (status) watch(status);
    });
    add(*ifMib.publisher(), [this, &ifMib](const Pondo::Change& c) {
      const auto& id = *static_cast<const Lumo::IntfId*>(c.key);
      const U32Optional ifIndex = ifMib.ifIndexByIntfId(id);
      const std::string name = id.stringValue().stdString();
      events.push_back(ifIndex ? fmt::format("ifIndex= {} {}", name, ifIndex.value())
                               : "ifIndex- " + name);
    });
    for (auto it = slice.entityPtrIteratorConst(); !it.atEnd(); ++it) {
      watch(Pondo::dynamicPtrCast<const Status>(it.value()));
    }
  }
  Events events;

  /// Whether `first` and `then` were both published, in this order.
  bool before(const std::string& first, const std::string& then) const {
    const auto a = std::find(events.begin(), events.end(), first);
    return a != events.end() && std::find(a, events.end(), then) != events.end();
  }

 private:
  struct Watch {
    std::function<void(const Pondo::Change&)> on;
    Pondo::Subscriber slot{this, [](void* w, const Pondo::Change& c) { ((Watch*)w)->on(c); }};
  };
  void add(Pondo::Publisher& publisher, std::function<void(const Pondo::Change&)> on) {
    watches_.push_back(std::unique_ptr<Watch>(new Watch{std::move(on)}));
    publisher.subscriberAdd(watches_.back()->slot, false);
  }
  void watch(const Pondo::Ptr<const Status>& status) {
    add(*status->publisher(), [this, status](const Pondo::Change& c) {
      const auto& intf = *static_cast<const Pondo::String*>(c.key);
      events.push_back(fmt::format("status{} {}/{}", status->intfStatus(intf) ? '=' : '-',
                                   status->name().stdString(), intf.stdString()));
    });
  }

  std::vector<std::unique_ptr<Watch>> watches_;
};

inline std::unique_ptr<Host::StateFile> parsed(const std::string& text) {
  std::string error;
  auto file = Host::StateFile::parse("test.json", text, error);
  EXPECT_TRUE(file) << error;
  return file;
}

/// "5.2=7": row (ifIndex 5, class 2) with 7 drops.
inline std::string row(U32 ifIndex, int trafficClass, U64 drops) {
  return fmt::format("{}.{}={}", ifIndex, trafficClass, drops);
}

/// The rows the state file `text` describes: four per status entry of an interface with an
/// ifIndex.
inline std::set<std::string> rowsOf(const std::string& text) {
  std::set<std::string> rows;
  const auto file = parsed(text);
  for (const auto& entity : file->entities()) {
    for (const auto& entry : file->entries(entity)) {
      const auto ifIndex = file->ifIndex(entry.intfName);
      const auto classes = classesOf(entry.classes);
      for (int n = 0; ifIndex && n < 4; ++n) rows.insert(row(*ifIndex, n, classes[n]->drops));
    }
  }
  return rows;
}

class InputsFixture : public ::testing::Test {
 protected:
  InputsFixture() { scheduler_->yieldAfterChecksIs(1u << 30); }

  Host::SwitchInputs inputs() const { return {slice_, ifMib_, scheduler_}; }
  /// How many ifIndexes and status entities are published.
  U64 published() const { return ifMib_->ifIndexByIntfId().count() + slice_->entityCount(); }

  /// Starts the plug-in's table machine on the inputs and lets it become ready.
  void startMachine() {
    Ostra::SmControl control;
    control.schedulerIs(scheduler_);
    sm_ = StormControlSnmp::StormControlIfTableSm::StormControlIfTableSmIs(mib_, slice_, ifMib_,
                                                                           control);
    scheduler_->runUntilIdle(100000);
    ASSERT_TRUE(sm_->ready());
  }
  /// The table's rows once every task has run.
  std::set<std::string> tableRows() const {
    scheduler_->runUntilIdle();
    std::set<std::string> rows;
    for (auto it = mib_->stormControlIfTable().begin(); !it.atEnd(); ++it) {
      rows.insert(row(it->ifIndex(), int(it->trafficClass()), it->drops()));
    }
    return rows;
  }
  /// The status published for interface `intf` in any entity, or null.
  StatusPtr live(const std::string& intf) const {
    for (auto e = slice_->entityPtrIteratorConst(); !e.atEnd(); ++e) {
      const auto* status = dynamic_cast<const Status*>(e.value().get());
      if (StatusPtr found = status->intfStatus(Pondo::String(intf))) return found;
    }
    return nullptr;
  }

  Pondo::Ptr<Qel::Dir> slice_ = Pondo::make<Qel::Dir>(Pondo::String("slice"));
  Pondo::Ptr<IntfSnmp::IfMib> ifMib_ = Pondo::make<IntfSnmp::IfMib>(Pondo::String("ifMib"));
  Pondo::Ptr<Velo::TaskScheduler> scheduler_ = Pondo::make<Velo::TaskScheduler>();
  Pondo::Ptr<StormControlSnmp::StormControlMib> mib_ =
      Pondo::make<StormControlSnmp::StormControlMib>(Pondo::String("stormcontrolmib"));
  Pondo::Ptr<StormControlSnmp::StormControlIfTableSm> sm_;
};

}  // namespace HostTest
