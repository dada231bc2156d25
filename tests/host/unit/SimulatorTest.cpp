// SimulatorTest.cpp — the simulated switch: its interfaces, its mix of thresholds, drop
// counters advancing by new status objects, in task runs, and interface flaps, on net-snmp's
// alarms.
#include "host/Simulator.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <chrono>
#include <map>
#include <set>
#include <thread>

#include "InputsFixture.h"

namespace HostTest {
namespace {

using Bridging::StormControl::Threshold;
using Host::Simulator;
using StatusPtr = Pondo::Ptr<const IntfStatus>;

class SimulatorTest : public InputsFixture {
 protected:
  Host::SimulatorOptions options(U32 interfaces, U32 slices, U32 intervalMs) const {
    Host::SimulatorOptions o;
    o.interfaces = interfaces;
    o.slices = slices;
    o.intervalMs = intervalMs;
    return o;
  }
  /// Every published status, by interface name.
  std::map<std::string, StatusPtr> statuses() const {
    std::map<std::string, StatusPtr> out;
    for (auto e = slice_->entityPtrIteratorConst(); !e.atEnd(); ++e) {
      const auto* status = dynamic_cast<const Status*>(e.value().get());
      for (auto it = status->intfStatus().begin(); !it.atEnd(); ++it) {
        out[it.key().stdString()] = it.value();
      }
    }
    return out;
  }
};

bool configured(const IntfStatus& s) {
  for (const ClassStatus* c : {&s.all(), &s.broadcast(), &s.multicast(), &s.unknownUnicast()}) {
    if (!Threshold::isEq(c->threshold, Threshold{})) return true;
  }
  return false;
}

/// The simulator's ordinal of "Ethernet<m>/<p>".
U32 ordinalOf(const std::string& name) {
  const auto slash = name.find('/');
  const U32 module = U32(std::stoul(name.substr(8, slash - 8)));
  const U32 port = U32(std::stoul(name.substr(slash + 1)));
  return (module - 1) * Simulator::portsPerModule + port - 1;
}

// Names, ifIndexes, entities and the mix of configured and default thresholds.
TEST_F(SimulatorTest, PublishesTheSwitch) {
  Simulator sim(inputs(), options(100, 3, 0));
  sim.start();
  EXPECT_EQ(ifMib_->ifIndexByIntfId().count(), 100u);
  EXPECT_EQ(ifMib_->ifIndexByIntfId(Lumo::IntfId(Pondo::String("Ethernet1/1"))), U32Optional(1001));
  EXPECT_EQ(ifMib_->ifIndexByIntfId(Lumo::IntfId(Pondo::String("Ethernet1/48"))),
            U32Optional(1048));
  EXPECT_EQ(ifMib_->ifIndexByIntfId(Lumo::IntfId(Pondo::String("Ethernet3/4"))), U32Optional(3004));
  ASSERT_EQ(slice_->entityCount(), 3u);
  U32 entries = 0;
  for (const char* name : {"slice0", "slice1", "slice2"}) {
    const auto status = Pondo::dynamicPtrCast<const Status>(slice_->entityPtr(Pondo::String(name)));
    ASSERT_TRUE(status) << name;
    EXPECT_GE(status->intfStatus().count(), 33u) << name;
    entries += status->intfStatus().count();
  }
  EXPECT_EQ(entries, 100u);
  const auto all = statuses();
  const auto configuredCount =
      std::count_if(all.begin(), all.end(), [](const auto& s) { return configured(*s.second); });
  EXPECT_EQ(configuredCount, 75);
  // A frozen simulator never ticks.
  sim.tick();
  EXPECT_TRUE(scheduler_->idle());
}

// A tick publishes a new object, with more drops, for every configured interface in a storm,
// in runs that yield; a tick during a round asks for exactly one more round.
TEST_F(SimulatorTest, TickPublishesNewObjectsInTaskRuns) {
  startMachine();
  Simulator sim(inputs(), options(200, 2, 60000));
  sim.start();
  scheduler_->runUntilIdle();
  EXPECT_EQ(tableRows().size(), 800u);
  const auto before = statuses();
  InputLog log(*slice_, *ifMib_);

  scheduler_->yieldAfterChecksIs(10);
  sim.tick();
  scheduler_->runOne();
  sim.tick();  // during the round
  sim.tick();  // coalesced with the previous one
  const U64 runs = 1 + scheduler_->runUntilIdle();
  EXPECT_EQ(sim.rounds(), 2u);

  std::size_t published = 0;
  for (const auto& [name, now] : statuses()) {
    const StatusPtr& old = before.at(name);
    const U32 ordinal = ordinalOf(name);
    const int storms = int(Simulator::storming(ordinal, 0)) + int(Simulator::storming(ordinal, 1));
    if (!configured(*now) || storms == 0) {
      EXPECT_EQ(now, old) << name << " keeps its object";
      continue;
    }
    published += storms;
    EXPECT_NE(now, old) << name << " has a new object";
    EXPECT_TRUE(Threshold::isEq(now->all().threshold, old->all().threshold));
    const U64 gained = now->all().drops + now->broadcast().drops + now->multicast().drops +
                       now->unknownUnicast().drops;
    EXPECT_GT(gained, 0u) << name;
    EXPECT_EQ(old->all().drops + old->broadcast().drops, 0u) << "old objects never change";
  }
  EXPECT_EQ(log.events.size(), published) << "one publication per storming interface a round";
  EXPECT_GT(published, 0u);
  EXPECT_GE(runs, published / 10);
  // The machine followed: its rows refer to the live objects.
  const auto after = statuses();
  for (auto it = mib_->stormControlIfTable().begin(); !it.atEnd(); ++it) {
    EXPECT_EQ(it->status(), after.at(it->status()->name().stdString()));
  }
}

// A flap withdraws an interface's status, then its ifIndex; the next brings it back with a
// fresh ifIndex, then the status it had, and takes the following interface away. Round the
// switch, an interface flaps again from its new ifIndex, and no ifIndex is given twice.
TEST_F(SimulatorTest, FlapsTakeInterfacesAwayAndBackWithNewIfIndexes) {
  startMachine();
  Host::SimulatorOptions o = options(8, 2, 0);
  o.flapMs = 60000;
  Simulator sim(inputs(), o);
  sim.start();
  scheduler_->runUntilIdle();
  const auto before = statuses();
  InputLog log(*slice_, *ifMib_);
  const auto tableIfIndexes = [this] {
    scheduler_->runUntilIdle();
    std::set<U32> ifIndexes;
    for (auto it = mib_->stormControlIfTable().begin(); !it.atEnd(); ++it) {
      ifIndexes.insert(it->ifIndex());
    }
    return ifIndexes;
  };

  sim.flap();
  EXPECT_EQ(log.events, (Events{"status- slice0/Ethernet1/1", "ifIndex- Ethernet1/1"}));
  EXPECT_EQ(tableIfIndexes(), (std::set<U32>{1002, 1003, 1004, 1005, 1006, 1007, 1008}));
  sim.flap();
  EXPECT_EQ(log.events, (Events{"status- slice0/Ethernet1/1", "ifIndex- Ethernet1/1",
                                "ifIndex= Ethernet1/1 1009", "status= slice0/Ethernet1/1",
                                "status- slice0/Ethernet1/2", "ifIndex- Ethernet1/2"}));
  EXPECT_EQ(statuses().at("Ethernet1/1"), before.at("Ethernet1/1")) << "drop counters kept";
  EXPECT_EQ(tableIfIndexes(), (std::set<U32>{1003, 1004, 1005, 1006, 1007, 1008, 1009}));

  for (int i = 2; i < 10; ++i) sim.flap();
  EXPECT_EQ(sim.flaps(), 10u);
  EXPECT_EQ(ifMib_->ifIndexByIntfId(Lumo::IntfId(Pondo::String("Ethernet1/1"))), U32Optional(1017));
  EXPECT_FALSE(ifMib_->ifIndexByIntfId(Lumo::IntfId(Pondo::String("Ethernet1/2"))));
  EXPECT_EQ(tableIfIndexes(), (std::set<U32>{1011, 1012, 1013, 1014, 1015, 1016, 1017}));
}

// Ticks and flaps come from net-snmp's alarms, run by the loop; the alarms go with the
// simulator.
TEST_F(SimulatorTest, AlarmsDriveTicksAndFlaps) {
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_ALARM_DONT_USE_SIG, 1);
  {
    Host::SimulatorOptions o = options(8, 1, 10);
    o.flapMs = 10;
    Simulator sim(inputs(), o);
    sim.start();
    struct timeval wait {};
    EXPECT_NE(get_next_alarm_delay_time(&wait), 0) << "an alarm is registered";
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
    run_alarms();
    EXPECT_EQ(sim.flaps(), 1u);
    EXPECT_FALSE(scheduler_->idle());
    scheduler_->runUntilIdle();
    EXPECT_EQ(sim.rounds(), 1u);
  }
  struct timeval wait {};
  EXPECT_EQ(get_next_alarm_delay_time(&wait), 0) << "the alarms left with the simulator";
}

}  // namespace
}  // namespace HostTest
