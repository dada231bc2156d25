// SimulatorTest.cpp — the simulated switch: its interfaces and thresholds, storms advancing the
// drops of every configured class by new status objects in task runs, and interface flaps, on
// net-snmp's alarms.
#include "host/Simulator.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <thread>

#include "InputsFixture.h"

namespace HostTest {
namespace {

using Bridging::StormControl::Threshold;
using Host::Simulator;
using SimulatorTest = InputsFixture;

// 100 interfaces over three entities, numbered as a modular switch, three in four with classes
// configured. A tick publishes, for each of these in a storm, a new object with more drops in
// every configured class and the rest as it was, in runs that yield; a tick during a round asks
// for exactly one more. The machine's rows follow the live objects.
TEST_F(SimulatorTest, StormsAdvanceEveryConfiguredClass) {
  startMachine();
  Simulator sim(inputs(), {.interfaces = 100, .slices = 3, .intervalMs = 60000});
  sim.start();
  EXPECT_EQ(ifMib_->ifIndexByIntfId().count(), 100u);
  for (const auto& [name, ifIndex] :
       {std::pair{"Ethernet1/1", 1001}, {"Ethernet1/48", 1048}, {"Ethernet3/4", 3004}}) {
    EXPECT_EQ(ifMib_->ifIndexByIntfId(Lumo::IntfId(Pondo::String(name))), U32Optional(ifIndex));
  }
  ASSERT_EQ(slice_->entityCount(), 3u);
  for (auto e = slice_->entityPtrIteratorConst(); !e.atEnd(); ++e) {
    EXPECT_GE(dynamic_cast<const Status&>(*e.value()).intfStatus().count(), 33u);
  }
  std::vector<StatusPtr> before;
  for (U32 i = 0; i < 100; ++i) before.push_back(live(Simulator::intfName(i)));
  EXPECT_EQ(tableRows().size(), 400u);
  InputLog log(*slice_, *ifMib_);

  scheduler_->yieldAfterChecksIs(2);
  sim.tick(), scheduler_->runOne();
  sim.tick(), sim.tick();  // during the round: the second is coalesced with the first
  const U64 runs = 1 + scheduler_->runUntilIdle();
  EXPECT_EQ(sim.rounds(), 2u);

  std::size_t stormed = 0, configured = 0, advanced[4] = {};
  for (U32 i = 0; i < 100; ++i) {
    const StatusPtr now = live(Simulator::intfName(i)), &old = before[i];
    const bool storms = Simulator::storming(i, 0) || Simulator::storming(i, 1);
    bool any = false;
    for (int c = 0; c < 4; ++c) {
      const ClassStatus &was = *classesOf(*old)[c], &is = *classesOf(*now)[c];
      const bool set = !Threshold::isEq(is.threshold, Threshold{});
      EXPECT_TRUE(Threshold::isEq(is.threshold, was.threshold) && was.drops == 0) << i;
      EXPECT_EQ(is.drops > 0, set && storms) << i << " " << classNames[c];
      advanced[c] += set && storms;
      any |= set;
    }
    configured += any;
    stormed += any ? Simulator::storming(i, 0) + Simulator::storming(i, 1) : 0;
    EXPECT_EQ(now == old, !any || !storms) << i;
  }
  EXPECT_EQ(configured, 75u);
  for (int c = 0; c < 4; ++c) EXPECT_GT(advanced[c], 0u) << classNames[c] << " never stormed";
  EXPECT_EQ(log.events.size(), stormed) << "one publication per storming interface a round";
  EXPECT_GE(runs, stormed / 2);
  for (auto it = mib_->stormControlIfTable().begin(); !it.atEnd(); ++it) {
    EXPECT_EQ(it->status(), live(it->status()->name().stdString()));
  }
}

// A flap withdraws an interface's status, then its ifIndex; the next brings it back with a
// fresh ifIndex, then the status it had, and takes the following one away. Round the switch an
// interface flaps again from its new ifIndex; no ifIndex is given twice. A frozen one never ticks.
TEST_F(SimulatorTest, FlapsGiveNewIfIndexes) {
  startMachine();
  Simulator sim(inputs(), {.interfaces = 8, .intervalMs = 0, .flapMs = 60000});
  sim.start();
  const StatusPtr first = live("Ethernet1/1");
  InputLog log(*slice_, *ifMib_);
  const auto tableIfIndexes = [this] {
    std::set<U32> ifIndexes;
    for (const std::string& r : tableRows()) ifIndexes.insert(U32(std::stoul(r)));
    return ifIndexes;
  };

  sim.flap();
  EXPECT_EQ(log.events, (Events{"status- slice0/Ethernet1/1", "ifIndex- Ethernet1/1"}));
  EXPECT_EQ(tableIfIndexes(), (std::set<U32>{1002, 1003, 1004, 1005, 1006, 1007, 1008}));
  sim.flap();
  EXPECT_EQ(log.events, (Events{"status- slice0/Ethernet1/1", "ifIndex- Ethernet1/1",
                                "ifIndex= Ethernet1/1 1009", "status= slice0/Ethernet1/1",
                                "status- slice0/Ethernet1/2", "ifIndex- Ethernet1/2"}));
  EXPECT_EQ(live("Ethernet1/1"), first) << "drop counters kept";
  EXPECT_EQ(tableIfIndexes(), (std::set<U32>{1003, 1004, 1005, 1006, 1007, 1008, 1009}));

  for (int i = 2; i < 10; ++i) sim.flap();
  EXPECT_EQ(sim.flaps(), 10u);
  EXPECT_EQ(tableIfIndexes(), (std::set<U32>{1011, 1012, 1013, 1014, 1015, 1016, 1017}));
  EXPECT_FALSE(live("Ethernet1/2"));
  sim.tick();
  EXPECT_TRUE(scheduler_->idle());
}

// Ticks and flaps come from net-snmp's alarms, run by the loop; the alarms go with the
// simulator.
TEST_F(SimulatorTest, RunsOnAlarms) {
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_ALARM_DONT_USE_SIG, 1);
  timeval wait{};
  {
    Simulator sim(inputs(), {.interfaces = 8, .slices = 1, .intervalMs = 10, .flapMs = 10});
    sim.start();
    EXPECT_NE(get_next_alarm_delay_time(&wait), 0) << "an alarm is registered";
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
    run_alarms();
    scheduler_->runUntilIdle();
    EXPECT_EQ(sim.flaps(), 1u);
    EXPECT_EQ(sim.rounds(), 1u);
  }
  EXPECT_EQ(get_next_alarm_delay_time(&wait), 0) << "the alarms left with the simulator";
}

}  // namespace
}  // namespace HostTest
