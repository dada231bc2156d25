// The plug-in's root and agent: agent and machine replacement and their publication order,
// teardown, the machine's control, the creation trace, and the host's generic access path.
#include "StormControlSnmp/StormControlSnmpAgent.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "Qel/Exception.h"
#include "SmFixture.h"

namespace StormControlSnmp::SmTest {
namespace {

using AgentPtr = Pondo::Ptr<StormControlSnmpAgent>;
using MachinePtr = Pondo::Ptr<StormControlIfTableSm>;
using Agents = std::vector<std::pair<const StormControlSnmpAgent*, const StormControlSnmpAgent*>>;

U64 machines() { return StormControlIfTableSm::memAllocationTracker_.liveObjects; }
U64 agents() { return StormControlSnmpAgent::memAllocationTracker_.liveObjects; }

/// Records the root's publications as (the agent the change carried, the root's agent while it
/// was delivered); `during` runs inside each delivery.
struct AgentLog {
  explicit AgentLog(Root& root) : root(root) { root.publisher()->subscriberAdd(slot, false); }
  void onChange(const Pondo::Change& c) {
    EXPECT_TRUE(c.attribute == Root::stormControlSnmpAgentAttr && !c.keyEq) << "a single value";
    // Always given, an empty pointer when there was no agent: subscribers dereference it.
    ASSERT_NE(c.previous, nullptr) << "the publication carries no previous value";
    events.emplace_back(static_cast<const AgentPtr*>(c.previous)->get(),
                        root.stormControlSnmpAgent().get());
    if (during) during();
  }
  Root& root;
  Agents events;
  std::function<void()> during;
  Pondo::Subscriber slot{this, Pondo::memberHandler<&AgentLog::onChange>};
};

/// The process scheduler, made before any test counts live objects.
const Pondo::Ptr<Velo::TaskScheduler> processScheduler =
    Velo::TaskSchedulerRoot::findOrCreateScheduler();

/// The machine's fixture with a root and another slice; agents run on the process scheduler.
class StormControlSnmpAgentTest : public SmFixture {
 protected:
  void TearDown() override { root_ = nullptr, otherSlice_ = nullptr, SmFixture::TearDown(); }
  AgentPtr agentIs(const Pondo::Ptr<Qel::Dir>& slice) {
    return root_->stormControlSnmpAgentIs(mib_, slice, ifMib_);
  }
  Pondo::Ptr<Qel::Dir> otherSlice_ = Pondo::make<Qel::Dir>("otherSlice");
  Pondo::Ptr<Root> root_ = rootFactory("root");
};

// Another slice makes a new agent and machine; the publication carries the old agent, whose
// machine is still active during it, and both go only after it. Destroying the root publishes
// the removal while agent and machine live, then the agent deactivates its machine.
TEST_F(StormControlSnmpAgentTest, ReplacementAndDestructionPublishFirst) {
  const StormControlSnmpAgent* old = agentIs(slice_).get();
  const StormControlIfTableSm* oldMachine = old->stormControlIfTableSm().get();
  const U64 machinesBefore = machines(), agentsBefore = agents();
  AgentLog log(*root_);
  log.during = [&] {
    EXPECT_TRUE(machines() == machinesBefore + 1 && agents() == agentsBefore + 1);
    EXPECT_TRUE(oldMachine->hasNotificationActive());
  };
  const StormControlSnmpAgent* fresh = agentIs(otherSlice_).get();
  EXPECT_EQ(fresh->slice(), otherSlice_);
  EXPECT_TRUE(machines() == machinesBefore && agents() == agentsBefore);
  const MachinePtr machine = fresh->stormControlIfTableSm();
  log.during = [&] { EXPECT_TRUE(agents() == agentsBefore && machine->hasNotificationActive()); };
  root_ = nullptr;
  EXPECT_EQ(log.events, (Agents{{old, fresh}, {fresh, nullptr}}));
  EXPECT_FALSE(machine->hasNotificationActive()) << "deactivated by the agent, not on release";
  const auto status = Pondo::make<Status>(real("status0"));  // nor reacts to either input
  publishIn(*status, "Ethernet1");
  publishIn(*status, "Ethernet2");
  ifMib_->ifIndexByIntfIdIs(Lumo::IntfId(real("Ethernet1")), 5);
  otherSlice_->entityIs(status);
  ifMib_->ifIndexByIntfIdIs(Lumo::IntfId(real("Ethernet2")), 6);
  EXPECT_EQ(mib_->stormControlIfTable().count(), 0u);
}

// A new agent has the default control (no scheduler or trace name, priority 3, the runtime's
// choice of synchronous) and traces its machine's creation at level 9; the machine is active,
// runs on the process scheduler and writes the rows of interfaces with an ifIndex and a status.
TEST_F(StormControlSnmpAgentTest, ConstructionUsesDefaultControl) {
  for (const char* intf : {"Ethernet1", "Ethernet2", "Ethernet3"}) ifIndexIs(intf, intf[8] - '0');
  for (const char* intf : {"Ethernet1", "Ethernet2", "Ethernet4"}) publishIn(*status0_, intf);
  TraceLevels levels("StormControlSnmpAgent", 0xffff);
  const AgentPtr agent = agentIs(slice_);
  expectTrace(traces_.records, "StormControlSnmpAgent");
  const Ostra::SmControl& c = agent->smControl();
  EXPECT_TRUE(!c.scheduler() && c.traceName().empty() && c.priority() == 3 && !c.synchronous());
  const MachinePtr& machine = agent->stormControlIfTableSm();
  EXPECT_TRUE(machine->hasNotificationActive() && !machine->synchronous());
  EXPECT_TRUE(machine->priority() == 3 && machine->scheduler() == processScheduler);
  SmTest::settle(*processScheduler);
  EXPECT_TRUE(machine->ready());
  EXPECT_EQ(mib_->stormControlIfTable().count(), 8u);
  for (auto it = mib_->stormControlIfTable().begin(); !it.atEnd(); ++it) {
    EXPECT_EQ(written(it->status()->name().stdString()),
              "Ethernet" + std::to_string(it->ifIndex()));
  }
}

// The machine's own inputs and another control keep the machine, not re-initialised, with the
// control taken over whole; the agent's control reaches it at handleInitialized. Other inputs
// make a new machine while the old one still exists; Del hands it out deactivated.
TEST_F(StormControlSnmpAgentTest, MachineIsKeepsOrReplacesMachine) {
  const AgentPtr agent = agentIs(slice_);
  const StormControlIfTableSm* machine = agent->stormControlIfTableSm().get();
  const U64 machinesMade = StormControlIfTableSm::memAllocationTracker_.allocations;
  const auto otherScheduler = Pondo::make<Velo::TaskScheduler>();
  Ostra::SmControl control;
  control.priorityIs(5);
  control.schedulerIs(otherScheduler);
  control.traceNameIs("renamed");
  control.synchronousIs(Ostra::SmControl::synchronousOn);
  EXPECT_EQ(agent->stormControlIfTableSmIs(mib_, slice_, ifMib_, control).get(), machine);
  EXPECT_EQ(StormControlIfTableSm::memAllocationTracker_.allocations, machinesMade);
  EXPECT_TRUE(machine->krelControl() == control);
  EXPECT_FALSE(machine->synchronous()) << "the synchronous choice is made at initialisation";
  EXPECT_EQ(agent->smControl().priority(), 3) << "the agent's own control is unchanged";
  control.priorityIs(7);
  agent->smControlIs(control);
  EXPECT_EQ(machine->priority(), 5) << "a new control reaches the machine only on request";
  agent->handleInitialized();
  EXPECT_TRUE(agent->stormControlIfTableSm().get() == machine && machine->priority() == 7);
  EXPECT_EQ(machine->scheduler(), otherScheduler);

  const auto status = Pondo::make<Status>(real("status0"));  // rows while the new one is made
  publishIn(*status, "Ethernet1");
  otherSlice_->entityIs(status);
  ifMib_->ifIndexByIntfIdIs(Lumo::IntfId(real("Ethernet1")), 5);
  const U64 before = machines();
  std::vector<Pondo::TraceRecord> rows;
  TableLog log(*mib_, rows, "");
  log.during = [&] { EXPECT_EQ(machines(), before + 1) << "the old machine lives meanwhile"; };
  agent->stormControlIfTableSmIs(mib_, otherSlice_, ifMib_, control);
  EXPECT_EQ(rows.size(), 4u);
  EXPECT_EQ(machines(), before);
  EXPECT_FALSE(agent->stormControlIfTableSmDel()->hasNotificationActive());
  EXPECT_FALSE(agent->stormControlIfTableSm());
}

// The host builds the root by name and sets attribute 258 with the three inputs: the agent
// and its machine appear, published without a previous agent; the same inputs again keep them,
// a slice of the wrong type is refused; Del by number hands the agent out with its machine
// active and publishes it, and on an empty root returns and publishes nothing.
TEST_F(StormControlSnmpAgentTest, HostInstantiatesAgentThroughAttribute258) {
  const Qel::TypeData& type = stormControlSnmpAgentModule().type(1);
  root_ = std::any_cast<Pondo::Ptr<Root>>(type.ops().construct({Pondo::String("r1")}));
  EXPECT_EQ(root_->name(), "r1");
  const Qel::Args args{Pondo::String("x")};
  EXPECT_THROW(type.ops().newEntity("r2", &args), Qel::NewEntityArgsException);
  EXPECT_EQ(type.ops().newEntity("r3", nullptr)->typeData(), &type);
  AgentLog log(*root_);
  const Qel::Args inputs{mib_, Pondo::Ptr<const Qel::Dir>(slice_),
                         Pondo::Ptr<const IntfSnmp::IfMib>(ifMib_)};
  Qel::attrSet(type, root_.get(), 258, inputs);
  const auto agent = std::any_cast<AgentPtr>(Qel::attrRead(type, root_.get(), 258));
  const MachinePtr machine = agent->stormControlIfTableSm();
  ASSERT_TRUE(machine);
  Qel::attrSet(type, root_.get(), 258, inputs);
  EXPECT_THROW(Qel::attrSet(type, root_.get(), 258, {mib_, slice_, inputs[2]}),
               Qel::AttributeException);
  EXPECT_TRUE(root_->stormControlSnmpAgent() == agent && agent->stormControlIfTableSm() == machine);
  EXPECT_EQ(std::any_cast<AgentPtr>(Qel::attrDel(type, root_.get(), 258)), agent);
  EXPECT_TRUE(machine->hasNotificationActive()) << "the agent's owner deactivates it";
  EXPECT_FALSE(Qel::attrDel(type, root_.get(), 258).has_value());
  EXPECT_EQ(log.events, (Agents{{nullptr, agent.get()}, {agent.get(), nullptr}}));
}

}  // namespace
}  // namespace StormControlSnmp::SmTest
