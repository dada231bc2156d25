// The plug-in's root and agent: agent and machine replacement and their publication order,
// teardown, the machine's control, the creation trace, and the host's generic access path.
#include "StormControlSnmp/StormControlSnmpAgent.h"

#include <gtest/gtest.h>

#include <vector>

#include "Qel/Exception.h"
#include "SmFixture.h"

namespace StormControlSnmp::SmTest {
namespace {

using AgentPtr = Pondo::Ptr<StormControlSnmpAgent>;
using Agents = std::vector<std::pair<const StormControlSnmpAgent*, const StormControlSnmpAgent*>>;

U64 machines() { return Sm::memAllocationTracker_.liveObjects; }
U64 agents() { return StormControlSnmpAgent::memAllocationTracker_.liveObjects; }

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
  /// Adds to `agents_` each publication of the root: the agent it carried (always given, empty
  /// when there was none) and the root's agent while it was delivered.
  OnChange agentLog() {
    return OnChange(root_->publisher(), [this, root = root_.get()](const Pondo::Change& c) {
      EXPECT_TRUE(c.attribute == Root::stormControlSnmpAgentAttr && !c.keyEq) << "one value";
      ASSERT_NE(c.previous, nullptr) << "the publication carries no previous value";
      agents_.emplace_back(static_cast<const AgentPtr*>(c.previous)->get(),
                           root->stormControlSnmpAgent().get());
      if (const auto during = during_) during();
    });
  }
  Pondo::Ptr<Qel::Dir> otherSlice_ = Pondo::make<Qel::Dir>("otherSlice");
  Pondo::Ptr<Root> root_ = rootFactory("root");
  Agents agents_;
};

// A new agent's publication carries the old one, whose machine is active during it and goes
// after it; the root's destruction publishes first, then the agent deactivates its machine.
TEST_F(StormControlSnmpAgentTest, ReplacementAndDestructionPublishFirst) {
  const StormControlSnmpAgent* old = agentIs(slice_).get();
  const Sm* oldMachine = old->stormControlIfTableSm().get();
  const U64 machinesBefore = machines(), agentsBefore = agents();
  const OnChange log = agentLog();
  during_ = [&] {
    EXPECT_TRUE(machines() == machinesBefore + 1 && agents() == agentsBefore + 1);
    EXPECT_TRUE(oldMachine->hasNotificationActive());
  };
  const StormControlSnmpAgent* fresh = agentIs(otherSlice_).get();
  EXPECT_EQ(fresh->slice(), otherSlice_);
  EXPECT_TRUE(machines() == machinesBefore && agents() == agentsBefore);
  const Pondo::Ptr<Sm> machine = fresh->stormControlIfTableSm();
  during_ = [&] { EXPECT_TRUE(agents() == agentsBefore && machine->hasNotificationActive()); };
  root_ = nullptr;
  EXPECT_EQ(agents_, (Agents{{old, fresh}, {fresh, nullptr}}));
  EXPECT_FALSE(machine->hasNotificationActive()) << "deactivated by the agent, not on release";
  const auto status = Pondo::make<Status>(real("status0"));  // nor reacts to either input
  publishIn(*status, "Ethernet1");
  publishIn(*status, "Ethernet2");
  ifIndexIs("Ethernet1", 5);
  otherSlice_->entityIs(status);
  ifIndexIs("Ethernet2", 6);
  EXPECT_EQ(mib_->stormControlIfTable().count(), 0u);
}

// A new agent has the default control and traces its machine's creation; the machine runs on
// the process scheduler, traces to its default handler and writes the rows.
TEST_F(StormControlSnmpAgentTest, ConstructionUsesDefaultControl) {
  intfIs("Ethernet1", 1);
  TraceLevels levels("StormControlSnmpAgent", 0xffff);
  const AgentPtr agent = agentIs(slice_);
  const Ostra::SmControl& c = agent->smControl();
  EXPECT_TRUE(!c.scheduler() && c.traceName().empty() && c.priority() == 3 && !c.synchronous());
  sm_ = agent->stormControlIfTableSm();
  EXPECT_TRUE(sm_->hasNotificationActive() && !sm_->synchronous() && sm_->priority() == 3);
  EXPECT_TRUE(sm_->scheduler() == processScheduler &&
              sm_->traceHandle().name() == "StormControlIfTableSm");
  settle(processScheduler.get());
  note();
  expectRecord("StormControlSnmpAgent");
}

// The machine's own inputs keep the machine with the new control taken over whole, applied at
// handleInitialized; other inputs make a new one while the old one lives; Del deactivates.
TEST_F(StormControlSnmpAgentTest, MachineIsKeepsOrReplacesMachine) {
  const AgentPtr agent = agentIs(slice_);
  const Sm* machine = agent->stormControlIfTableSm().get();
  const U64 machinesMade = Sm::memAllocationTracker_.allocations;
  const auto otherScheduler = Pondo::make<Velo::TaskScheduler>();
  Ostra::SmControl control;
  control.priorityIs(5);
  control.schedulerIs(otherScheduler);
  control.traceNameIs("renamed");
  control.synchronousIs(Ostra::SmControl::synchronousOn);
  EXPECT_EQ(agent->stormControlIfTableSmIs(mib_, slice_, ifMib_, control).get(), machine);
  EXPECT_EQ(Sm::memAllocationTracker_.allocations, machinesMade);
  EXPECT_TRUE(machine->krelControl() == control);
  EXPECT_FALSE(machine->synchronous()) << "the synchronous choice is made at initialisation";
  EXPECT_EQ(agent->smControl().priority(), 3) << "the agent's own control is unchanged";
  control.priorityIs(7);
  agent->smControlIs(control);
  EXPECT_EQ(machine->priority(), 5) << "a new control reaches the machine only on request";
  agent->handleInitialized();
  EXPECT_TRUE(agent->stormControlIfTableSm().get() == machine && machine->priority() == 7);
  EXPECT_EQ(machine->scheduler(), otherScheduler);
  const auto status = Pondo::make<Status>(real("status0"));
  publishIn(*status, "Ethernet1");
  otherSlice_->entityIs(status);
  ifIndexIs("Ethernet1", 5);
  const U64 before = machines();
  during_ = [&] { EXPECT_EQ(machines(), before + 1) << "the old machine lives meanwhile"; };
  agent->stormControlIfTableSmIs(mib_, otherSlice_, ifMib_, control);
  EXPECT_EQ(machines(), before);
  EXPECT_FALSE(agent->stormControlIfTableSmDel()->hasNotificationActive());
  EXPECT_FALSE(agent->stormControlIfTableSm());
  expectRecord();
}

// The host builds the root by name and sets attribute 258 with the three inputs; the same
// inputs keep the agent, a slice of the wrong type is refused; Del hands the agent out.
TEST_F(StormControlSnmpAgentTest, HostInstantiatesAgentThroughAttribute258) {
  const Qel::TypeData& type = stormControlSnmpAgentModule().type(1);
  root_ = std::any_cast<Pondo::Ptr<Root>>(type.ops().construct({Pondo::String("r1")}));
  EXPECT_EQ(root_->name(), "r1");
  const Qel::Args args{Pondo::String("x")};
  EXPECT_THROW(type.ops().newEntity("r2", &args), Qel::NewEntityArgsException);
  EXPECT_EQ(type.ops().newEntity("r3", nullptr)->typeData(), &type);
  const OnChange log = agentLog();
  const Qel::Args inputs{mib_, Pondo::Ptr<const Qel::Dir>(slice_),
                         Pondo::Ptr<const IntfSnmp::IfMib>(ifMib_)};
  Qel::attrSet(type, root_.get(), 258, inputs);
  const auto agent = std::any_cast<AgentPtr>(Qel::attrRead(type, root_.get(), 258));
  const Pondo::Ptr<Sm> machine = agent->stormControlIfTableSm();
  ASSERT_TRUE(machine);
  Qel::attrSet(type, root_.get(), 258, inputs);
  EXPECT_THROW(Qel::attrSet(type, root_.get(), 258, {mib_, slice_, inputs[2]}),
               Qel::AttributeException);
  EXPECT_TRUE(root_->stormControlSnmpAgent() == agent && agent->stormControlIfTableSm() == machine);
  EXPECT_EQ(std::any_cast<AgentPtr>(Qel::attrDel(type, root_.get(), 258)), agent);
  EXPECT_TRUE(machine->hasNotificationActive()) << "the agent's owner deactivates it";
  EXPECT_FALSE(Qel::attrDel(type, root_.get(), 258).has_value());
  EXPECT_EQ(agents_, (Agents{{nullptr, agent.get()}, {agent.get(), nullptr}}));
}

}  // namespace
}  // namespace StormControlSnmp::SmTest
