// tests/host/unit/InputsFixture.h — the plug-in's inputs and table machine, for state tests.
///
/// The fixture holds a slice directory, an interface MIB and a scheduler that never yields
/// unless a test asks, records every publication of the inputs in order ("entity+ s0",
/// "status= s0/Ethernet1/1", "status- s0/Ethernet1/1", "ifIndex= Ethernet1/1 5",
/// "ifIndex- Ethernet1/1"), and can run the plug-in's real table machine on them, so a test
/// can check that the table ends as the published state says.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
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

/// Records the publications of the slice directory, its status entities and the IfMib.
class InputLog {
 public:
  InputLog(Qel::Dir& slice, IntfSnmp::IfMib& ifMib) : slice_(slice), ifMib_(ifMib) {
    slice.publisher()->subscriberAdd(dirSlot_, false);
    ifMib.publisher()->subscriberAdd(ifMibSlot_, false);
    for (auto it = slice.entityPtrIteratorConst(); !it.atEnd(); ++it) watch(it.key());
  }
  Events events;

  /// Position of `event` in the log; fails the test when it is absent.
  std::size_t at(const std::string& event) const {
    const auto it = std::find(events.begin(), events.end(), event);
    EXPECT_NE(it, events.end()) << "missing " << event;
    return std::size_t(it - events.begin());
  }

 private:
  struct StatusWatch {
    InputLog* log;
    Pondo::Ptr<const Status> status;
    Pondo::Subscriber slot{this, Pondo::memberHandler<&StatusWatch::onChange>};
    void onChange(const Pondo::Change& c) {
      const auto& intf = *static_cast<const Pondo::String*>(c.key);
      const char* sign = status->intfStatus(intf) ? "status= " : "status- ";
      log->events.push_back(sign + status->name().stdString() + "/" + intf.stdString());
    }
  };

  void watch(const Pondo::String& name) {
    auto status = Pondo::dynamicPtrCast<const Status>(slice_.entityPtr(name));
    if (!status) return;
    auto w = std::make_unique<StatusWatch>();
    w->log = this;
    w->status = status;
    status->publisher()->subscriberAdd(w->slot, false);
    watches_.push_back(std::move(w));
  }
  void onDir(const Pondo::Change& c) {
    const auto& name = *static_cast<const Pondo::String*>(c.key);
    const bool present = bool(slice_.entityPtr(name));
    events.push_back((present ? "entity+ " : "entity- ") + name.stdString());
    if (present) watch(name);
  }
  void onIfMib(const Pondo::Change& c) {
    const auto& id = *static_cast<const Lumo::IntfId*>(c.key);
    const U32Optional ifIndex = ifMib_.ifIndexByIntfId(id);
    events.push_back(ifIndex ? "ifIndex= " + id.stringValue().stdString() + " " +
                                   std::to_string(ifIndex.value())
                             : "ifIndex- " + id.stringValue().stdString());
  }

  Qel::Dir& slice_;
  IntfSnmp::IfMib& ifMib_;
  Pondo::Subscriber dirSlot_{this, Pondo::memberHandler<&InputLog::onDir>};
  Pondo::Subscriber ifMibSlot_{this, Pondo::memberHandler<&InputLog::onIfMib>};
  std::vector<std::unique_ptr<StatusWatch>> watches_;
};

/// "5.2=7": row (ifIndex 5, class 2) with 7 drops.
inline std::string row(U32 ifIndex, int trafficClass, U64 drops) {
  return std::to_string(ifIndex) + "." + std::to_string(trafficClass) + "=" + std::to_string(drops);
}

/// The rows a state file describes: four per status entry whose interface has an ifIndex.
inline std::set<std::string> rowsOf(const Host::StateFile& file) {
  std::set<std::string> rows;
  for (const auto& entity : file.entities()) {
    for (const auto& entry : file.entries(entity)) {
      const auto ifIndex = file.ifIndex(entry.intfName);
      if (!ifIndex) continue;
      const ClassStatus* classes[] = {&entry.classes.all, &entry.classes.broadcast,
                                      &entry.classes.multicast, &entry.classes.unknownUnicast};
      for (int c = 0; c < 4; ++c) rows.insert(row(*ifIndex, c, classes[c]->drops));
    }
  }
  return rows;
}

inline std::unique_ptr<Host::StateFile> parsed(const std::string& text) {
  std::string error;
  auto file = Host::StateFile::parse("test.json", text, error);
  EXPECT_TRUE(file) << error;
  return file;
}

class InputsFixture : public ::testing::Test {
 protected:
  InputsFixture() { scheduler_->yieldAfterChecksIs(1u << 30); }

  Host::SwitchInputs inputs() const { return {slice_, ifMib_, scheduler_}; }

  /// Starts the plug-in's table machine on the inputs and lets it become ready.
  void startMachine() {
    Ostra::SmControl control;
    control.schedulerIs(scheduler_);
    sm_ = StormControlSnmp::StormControlIfTableSm::StormControlIfTableSmIs(mib_, slice_, ifMib_,
                                                                           control);
    scheduler_->runUntilIdle(100000);
    ASSERT_TRUE(sm_->ready());
  }
  std::set<std::string> tableRows() const {
    std::set<std::string> rows;
    for (auto it = mib_->stormControlIfTable().begin(); !it.atEnd(); ++it) {
      rows.insert(row(it->ifIndex(), int(it->trafficClass()), it->drops()));
    }
    return rows;
  }

  Pondo::Ptr<Qel::Dir> slice_ = Pondo::make<Qel::Dir>(Pondo::String("slice"));
  Pondo::Ptr<IntfSnmp::IfMib> ifMib_ = Pondo::make<IntfSnmp::IfMib>(Pondo::String("ifMib"));
  Pondo::Ptr<Velo::TaskScheduler> scheduler_ = Pondo::make<Velo::TaskScheduler>();
  Pondo::Ptr<StormControlSnmp::StormControlMib> mib_ =
      Pondo::make<StormControlSnmp::StormControlMib>(Pondo::String("stormcontrolmib"));
  Pondo::Ptr<StormControlSnmp::StormControlIfTableSm> sm_;
};

}  // namespace HostTest
