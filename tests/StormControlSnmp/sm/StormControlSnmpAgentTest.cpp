// The plug-in's root and agent: agent replacement, teardown order, the machine's control,
// tracing, and the host's generic access path.
#include "StormControlSnmp/StormControlSnmpAgent.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "Qel/Exception.h"
#include "SmFixture.h"
#include "TraceCapture.h"
#include "Velo/TaskScheduler.h"

namespace StormControlSnmp {
namespace {

using AgentPtr = Pondo::Ptr<StormControlSnmpAgent>;
using MachinePtr = Pondo::Ptr<StormControlIfTableSm>;
using MibPtr = Pondo::Ptr<StormControlMib>;
using SlicePtr = Pondo::Ptr<const Qel::Dir>;
using IfMibPtr = Pondo::Ptr<const IntfSnmp::IfMib>;
using SmTest::Status;

const Pooly::AllocTracker& machines() { return StormControlIfTableSm::memAllocationTracker_; }
const Pooly::AllocTracker& agents() { return StormControlSnmpAgent::memAllocationTracker_; }
Pondo::String intfName(U32 n) { return Pondo::String("Ethernet" + std::to_string(n)); }

/// Live objects of every type the root, the agent and the machine create or hold.
SmTest::LiveCounts liveObjects() {
  SmTest::LiveCounts live = SmTest::liveCounts();
  live["Root"] = Root::memAllocationTracker_.liveObjects;
  live["StormControlSnmpAgent"] = agents().liveObjects;
  return live;
}

/// Records the root's publications; `during` runs inside each delivery.
struct AgentLog {
  struct Event {
    const StormControlSnmpAgent* previous;  // the agent the change carried, or null if none
    const StormControlSnmpAgent* current;   // the root's agent while the change was delivered
  };

  explicit AgentLog(Root& root) : root(root) { root.publisher()->subscriberAdd(slot, false); }
  void onChange(const Pondo::Change& c) {
    EXPECT_EQ(c.attribute, Root::stormControlSnmpAgentAttr);
    EXPECT_EQ(c.keyEq, nullptr) << "the agent is a single value, not a collection";
    // A subscriber dereferences the previous value: it is always given, an empty pointer when
    // there was no agent.
    const auto* previous = static_cast<const AgentPtr*>(c.previous);
    EXPECT_NE(previous, nullptr) << "the publication carries no previous value";
    events.push_back({previous ? previous->get() : nullptr, root.stormControlSnmpAgent().get()});
    if (during) during(c);
  }

  Root& root;
  std::vector<Event> events;
  std::function<void(const Pondo::Change&)> during;
  Pondo::Subscriber slot{this, Pondo::memberHandler<&AgentLog::onChange>};
};

/// Live machine counts at each "initialized" trace of a machine, i.e. while it is created.
class MachinesAtInitialization : public Pondo::TraceSink {
 public:
  MachinesAtInitialization() : previous_(Pondo::traceSinkIs(this)) {}
  ~MachinesAtInitialization() override { Pondo::traceSinkIs(previous_); }
  void record(const Pondo::TraceRecord& r) override {
    if (r.facility == "StormControlIfTableSm" && r.text == "initialized") {
      counts.push_back(machines().liveObjects);
    }
  }
  std::vector<U64> counts;

 private:
  TraceLevels levels_{"StormControlIfTableSm", 1u << 9};
  Pondo::TraceSink* previous_;
};

/// Inputs of one agent, a root, and a check that everything is released at the end.
class AgentFixture : public ::testing::Test {
 protected:
  void TearDown() override {
    root_.reset();
    mib_.reset();
    slice_.reset();
    otherSlice_.reset();
    ifMib_.reset();
    EXPECT_EQ(liveObjects(), liveAtStart_);
  }

  AgentPtr agentIs() { return root_->stormControlSnmpAgentIs(mib_, slice_, ifMib_); }

  const Pondo::Ptr<Velo::TaskScheduler> scheduler_ =
      Velo::TaskSchedulerRoot::findOrCreateScheduler();
  const SmTest::LiveCounts liveAtStart_ = liveObjects();
  MibPtr mib_ = stormControlMibFactory("stormcontrolmib");
  Pondo::Ptr<Qel::Dir> slice_ = Pondo::make<Qel::Dir>("slice");
  Pondo::Ptr<Qel::Dir> otherSlice_ = Pondo::make<Qel::Dir>("otherSlice");
  Pondo::Ptr<IntfSnmp::IfMib> ifMib_ = Pondo::make<IntfSnmp::IfMib>("ifMib");
  Pondo::Ptr<Root> root_ = rootFactory("root");
};

class RootTest : public AgentFixture {};
class StormControlSnmpAgentTest : public AgentFixture {};
class AgentGenericAccessTest : public AgentFixture {};

// Another slice: a new agent and machine; the publication carries the old agent, whose machine
// still exists and is active during it, and both go only after it.
TEST_F(RootTest, AgentIsOtherSliceReplacesAgentAfterPublication) {
  const StormControlSnmpAgent* old = agentIs().get();
  const StormControlIfTableSm* oldMachine = old->stormControlIfTableSm().get();
  const U64 machinesBefore = machines().liveObjects;
  const U64 agentsBefore = agents().liveObjects;
  AgentLog log(*root_);
  log.during = [&](const Pondo::Change&) {
    EXPECT_EQ(machines().liveObjects, machinesBefore + 1);
    EXPECT_EQ(agents().liveObjects, agentsBefore + 1);
    EXPECT_TRUE(oldMachine->hasNotificationActive());
  };
  const AgentPtr fresh = root_->stormControlSnmpAgentIs(mib_, otherSlice_, ifMib_);
  EXPECT_EQ(fresh->slice(), otherSlice_);
  EXPECT_TRUE(fresh->stormControlIfTableSm()->hasNotificationActive());
  ASSERT_EQ(log.events.size(), 1u);
  EXPECT_EQ(log.events[0].previous, old);
  EXPECT_EQ(log.events[0].current, fresh.get());
  EXPECT_EQ(machines().liveObjects, machinesBefore);
  EXPECT_EQ(agents().liveObjects, agentsBefore);
}

// Destroying the root publishes the removal while agent and machine live, then destroys the
// agent, which deactivates its machine before releasing it.
TEST_F(RootTest, DestroyPublishesRemovalThenDestroysAgent) {
  const StormControlSnmpAgent* agent = agentIs().get();
  const MachinePtr machine = agent->stormControlIfTableSm();
  const U64 agentsBefore = agents().liveObjects;
  AgentLog log(*root_);
  log.during = [&](const Pondo::Change&) {
    EXPECT_EQ(agents().liveObjects, agentsBefore);
    EXPECT_TRUE(machine->hasNotificationActive());
  };
  root_.reset();
  ASSERT_EQ(log.events.size(), 1u);
  EXPECT_EQ(log.events[0].previous, agent);
  EXPECT_EQ(agents().liveObjects, agentsBefore - 1);
  EXPECT_FALSE(machine->hasNotificationActive()) << "deactivated by the agent, not on release";
}

// A new agent has the default control (no scheduler, no trace name, priority 3, the runtime's
// choice of synchronous); its machine is active, runs on the process scheduler and writes the
// rows of every interface that has both an ifIndex and a status.
TEST_F(StormControlSnmpAgentTest, ConstructionUsesDefaultControl) {
  auto status = Pondo::make<Status>("status0");
  for (U32 n : {1, 2, 3}) ifMib_->ifIndexByIntfIdIs(Lumo::IntfId(intfName(n)), n);
  for (U32 n : {1, 2, 4}) SmTest::publishIn(*status, intfName(n).c_str());
  slice_->entityIs(status);
  const AgentPtr agent = agentIs();
  const Ostra::SmControl& c = agent->smControl();
  EXPECT_EQ(c.scheduler(), nullptr);
  EXPECT_TRUE(c.traceName().empty());
  EXPECT_EQ(c.priority(), 3);
  EXPECT_EQ(c.synchronous(), 0);
  const MachinePtr& machine = agent->stormControlIfTableSm();
  ASSERT_TRUE(machine);
  EXPECT_TRUE(machine->hasNotificationActive());
  EXPECT_FALSE(machine->synchronous());
  EXPECT_EQ(machine->priority(), 3);
  EXPECT_EQ(machine->scheduler(), scheduler_);
  scheduler_->runUntilIdle();
  EXPECT_TRUE(machine->ready());
  EXPECT_EQ(mib_->stormControlIfTable().count(), 8u);
  for (auto it = mib_->stormControlIfTable().begin(); !it.atEnd(); ++it) {
    EXPECT_EQ(it->status()->name(), intfName(it->ifIndex()));
  }
}

// The machine's own inputs and a control with priority 5: the machine stays, is not
// re-initialised, and takes the whole control over.
TEST_F(StormControlSnmpAgentTest, MachineIsSameInputsKeepsMachineAndSetsControl) {
  const AgentPtr agent = agentIs();
  const MachinePtr machine = agent->stormControlIfTableSm();
  const U64 machinesMade = machines().allocations;
  const auto otherScheduler = Pondo::make<Velo::TaskScheduler>();
  Ostra::SmControl control;
  control.priorityIs(5);
  control.schedulerIs(otherScheduler);
  control.traceNameIs("renamed");
  control.synchronousIs(Ostra::SmControl::synchronousOn);
  EXPECT_EQ(agent->stormControlIfTableSmIs(mib_, slice_, ifMib_, control), machine);
  EXPECT_EQ(machines().allocations, machinesMade);
  EXPECT_TRUE(machine->krelControl() == control);
  EXPECT_FALSE(machine->synchronous()) << "the synchronous choice is made at initialisation";
  EXPECT_EQ(agent->smControl().priority(), 3) << "the agent's own control is unchanged";
}

// Level 9 traces the machine's creation once, from handleInitialized; other levels stay silent.
TEST_F(StormControlSnmpAgentTest, ConstructionTracesCreationAtLevel9) {
  {
    TraceLevels levels("StormControlSnmpAgent", U16(~(1u << 9)));
    TraceCapture capture;
    agentIs();
    EXPECT_TRUE(capture.texts("StormControlSnmpAgent").empty());
  }
  TraceLevels levels("StormControlSnmpAgent", 1u << 9);
  TraceCapture capture;
  root_->stormControlSnmpAgentIs(mib_, otherSlice_, ifMib_);
  EXPECT_EQ(capture.texts("StormControlSnmpAgent"),
            std::vector<std::string>{"Creating StormControlIfTableSm"});
  for (const Pondo::TraceRecord& r : capture.records) {
    if (r.facility != "StormControlSnmpAgent") continue;
    EXPECT_STREQ(r.function, "handleInitialized");
  }
}

// The module registers the agent's type, then the root's, with their attribute numbers.
TEST(StormControlSnmpAgentModuleTest, TypesAndAttributesInOrder) {
  const Qel::Module* m = Qel::qelModule("StormControlSnmpAgent");
  ASSERT_EQ(m, &stormControlSnmpAgentModule());
  ASSERT_EQ(m->typeCount(), 2);
  EXPECT_STREQ(m->type(0).name(), "StormControlSnmp::StormControlSnmpAgent");
  EXPECT_STREQ(m->type(1).name(), "StormControlSnmp::Root");
  std::vector<U16> agentNumbers, rootNumbers;
  for (const Qel::Attribute& a : m->type(0).attributes()) agentNumbers.push_back(a.number);
  for (const Qel::Attribute& a : m->type(1).attributes()) rootNumbers.push_back(a.number);
  EXPECT_EQ(agentNumbers, (std::vector<U16>{130, 131, 132, 133, 134, 135}));
  EXPECT_EQ(rootNumbers, (std::vector<U16>{154, 258}));
  EXPECT_STREQ(m->type(1).attribute(258)->name, "stormControlSnmpAgent");
  EXPECT_EQ(m->type(1).attribute(258)->kind, Qel::AttrKind::pointer);
}

// The host sets attribute 258 with the three inputs: the agent and its machine appear, one
// publication without a previous agent; the same inputs again keep agent and machine; Del by
// number hands the agent back with its machine still active, publishes it as the previous
// value, and on an empty root returns nothing and publishes nothing.
TEST_F(AgentGenericAccessTest, HostInstantiatesAgentThroughAttribute258) {
  AgentLog log(*root_);
  const Qel::TypeData& rootType = *root_->typeData();
  const Qel::Args inputs{mib_, SlicePtr(slice_), IfMibPtr(ifMib_)};
  Qel::attrSet(rootType, root_.get(), 258, inputs);
  const auto agent = std::any_cast<AgentPtr>(Qel::attrRead(rootType, root_.get(), 258));
  ASSERT_TRUE(agent);
  const MachinePtr machine = agent->stormControlIfTableSm();
  ASSERT_TRUE(machine);
  const U64 machinesMade = machines().allocations;
  Qel::attrSet(rootType, root_.get(), 258, inputs);
  EXPECT_EQ(root_->stormControlSnmpAgent(), agent);
  EXPECT_EQ(agent->stormControlIfTableSm(), machine);
  EXPECT_EQ(machines().allocations, machinesMade);
  ASSERT_EQ(log.events.size(), 1u);
  EXPECT_EQ(log.events[0].previous, nullptr);
  EXPECT_EQ(log.events[0].current, agent.get());
  EXPECT_EQ(std::any_cast<Pondo::String>(Qel::attrRead(rootType, root_.get(), 154)), "root");
  EXPECT_THROW(Qel::attrSet(rootType, root_.get(), 258, {mib_, slice_, IfMibPtr(ifMib_)}),
               Qel::AttributeException)
      << "the slice must come as a pointer to a const directory";
  EXPECT_EQ(root_->stormControlSnmpAgent(), agent);

  EXPECT_EQ(std::any_cast<AgentPtr>(Qel::attrDel(rootType, root_.get(), 258)), agent);
  EXPECT_TRUE(machine->hasNotificationActive()) << "the agent's owner deactivates it";
  ASSERT_EQ(log.events.size(), 2u);
  EXPECT_EQ(log.events[1].previous, agent.get());
  EXPECT_EQ(log.events[1].current, nullptr);
  EXPECT_FALSE(Qel::attrDel(rootType, root_.get(), 258).has_value());
  EXPECT_EQ(log.events.size(), 2u);
  EXPECT_FALSE(std::any_cast<AgentPtr>(Qel::attrRead(rootType, root_.get(), 258)));
}

// The agent's attributes by number: inputs read-only, smControl read and replaced as a whole
// (reaching the machine at the next handleInitialized), the machine read, replaced by one made
// from the given control while the old one still exists, and deleted (handed out deactivated,
// the slot left empty).
TEST_F(AgentGenericAccessTest, AgentAttributesByNumber) {
  const AgentPtr agent = agentIs();
  const Qel::TypeData& type = *agent->typeData();
  EXPECT_EQ(std::any_cast<MibPtr>(Qel::attrRead(type, agent.get(), 130)), mib_);
  EXPECT_EQ(std::any_cast<SlicePtr>(Qel::attrRead(type, agent.get(), 131)), slice_);
  EXPECT_EQ(std::any_cast<IfMibPtr>(Qel::attrRead(type, agent.get(), 132)), ifMib_);
  EXPECT_THROW(Qel::attrSet(type, agent.get(), 131, {SlicePtr(otherSlice_)}),
               Qel::AttributeException);

  const MachinePtr machine = std::any_cast<MachinePtr>(Qel::attrRead(type, agent.get(), 134));
  EXPECT_EQ(machine, agent->stormControlIfTableSm());
  auto control = std::any_cast<Ostra::SmControl>(Qel::attrRead(type, agent.get(), 133));
  const auto otherScheduler = Pondo::make<Velo::TaskScheduler>();
  control.priorityIs(7);
  control.schedulerIs(otherScheduler);
  Qel::attrSet(type, agent.get(), 133, {control});
  EXPECT_EQ(otherScheduler->references(), 3u) << "held here, by `control` and by the agent";
  EXPECT_EQ(machine->priority(), 3) << "a new control reaches the machine only on request";
  Qel::attrInvoke(type, agent.get(), 135);
  EXPECT_EQ(agent->stormControlIfTableSm(), machine);
  EXPECT_EQ(machine->priority(), 7);
  EXPECT_EQ(machine->scheduler(), otherScheduler);

  const U64 machinesBefore = machines().liveObjects;
  MachinesAtInitialization atInit;
  control.priorityIs(6);
  Qel::attrSet(type, agent.get(), 134,
               {mib_, SlicePtr(otherSlice_), IfMibPtr(ifMib_), Ostra::SmControl(control)});
  EXPECT_EQ(atInit.counts, std::vector<U64>{machinesBefore + 1}) << "old machine alive meanwhile";
  EXPECT_EQ(machines().liveObjects, machinesBefore + 1) << "`machine` still holds the old one";
  const MachinePtr replaced = agent->stormControlIfTableSm();
  EXPECT_EQ(replaced->slice(), otherSlice_);
  EXPECT_EQ(replaced->priority(), 6);
  EXPECT_TRUE(replaced->hasNotificationActive());
  EXPECT_EQ(std::any_cast<MachinePtr>(Qel::attrDel(type, agent.get(), 134)), replaced);
  EXPECT_FALSE(replaced->hasNotificationActive());
  EXPECT_FALSE(agent->stormControlIfTableSm());
  EXPECT_FALSE(Qel::attrDel(type, agent.get(), 134).has_value());
}

// The root's generic construction: from its name, and as a directory entity that refuses
// constructor arguments without creating anything.
TEST_F(AgentGenericAccessTest, RootConstructionAndNewEntity) {
  const Qel::TypeData& type = stormControlSnmpAgentModule().type(1);
  const auto built = std::any_cast<Pondo::Ptr<Root>>(type.ops().construct({Pondo::String("r1")}));
  EXPECT_EQ(built->name(), "r1");
  const auto entity = type.ops().newEntity("r2", nullptr);
  ASSERT_TRUE(entity);
  EXPECT_EQ(entity->typeData(), &type);
  const U64 rootsBefore = Root::memAllocationTracker_.liveObjects;
  const Qel::Args args{Pondo::String("x")};
  EXPECT_THROW(type.ops().newEntity("r3", &args), Qel::NewEntityArgsException);
  EXPECT_EQ(Root::memAllocationTracker_.liveObjects, rootsBefore);
}

}  // namespace
}  // namespace StormControlSnmp
