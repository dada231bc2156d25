// StormControlSnmp/StormControlSnmpAgent.cpp — the root, the agent and their type module.
#include "StormControlSnmp/StormControlSnmpAgent.h"

#include <utility>

#include "Qel/Exception.h"
#include "Qel/Registration.h"
#include "Qel/TraceHandle.h"

namespace StormControlSnmp {

namespace {

using Agent = StormControlSnmpAgent;
using AgentPtr = Pondo::Ptr<StormControlSnmpAgent>;
using MachinePtr = Pondo::Ptr<StormControlIfTableSm>;
using MibPtr = Pondo::Ptr<StormControlMib>;
using SlicePtr = Pondo::Ptr<const Qel::Dir>;
using IfMibPtr = Pondo::Ptr<const IntfSnmp::IfMib>;

enum TypeIndex : U16 { agentIndex, rootIndex };

/// The agent's trace facility, kept for the life of the process.
const Qel::TraceHandle& agentTrace() {
  static const Qel::TraceHandle handle("StormControlSnmpAgent", false);
  return handle;
}

void registerAgent(Qel::Module& m) {
  Qel::TypeData& t = m.typeIs(Contract::agentType, Qel::TypeKind::node);
  t.attributeIs(Qel::Reg::field<Agent>(Agent::scMibAttr, "scMib", &Agent::scMib, true));
  t.attributeIs(Qel::Reg::field<Agent>(Agent::sliceAttr, "slice", &Agent::slice, true));
  t.attributeIs(Qel::Reg::field<Agent>(Agent::ifMibAttr, "ifMib", &Agent::ifMib, true));
  t.attributeIs(Qel::Reg::settable<Agent>(Agent::smControlAttr, "smControl", &Agent::smControl,
                                          &Agent::smControlIs));
  t.attributeIs(Qel::Reg::pointer<Agent>(
      Agent::stormControlIfTableSmAttr, "stormControlIfTableSm", &Agent::stormControlIfTableSm,
      [](Agent& agent, const Qel::Args& args) {
        agent.stormControlIfTableSmIs(Qel::arg<MibPtr>(args, 0), Qel::arg<SlicePtr>(args, 1),
                                      Qel::arg<IfMibPtr>(args, 2),
                                      Qel::arg<Ostra::SmControl>(args, 3));
      },
      [](Agent& agent) { return agent.stormControlIfTableSmDel(); }));
  t.attributeIs(Qel::Reg::handler<Agent>(Agent::handleInitializedAttr, "handleInitialized",
                                         &Agent::handleInitialized));
  Qel::TypeOps ops;
  ops.construct = [](const Qel::Args& args) {
    return Qel::Value(Pondo::make<Agent>(Qel::arg<MibPtr>(args, 0), Qel::arg<SlicePtr>(args, 1),
                                         Qel::arg<IfMibPtr>(args, 2)));
  };
  t.opsIs(std::move(ops));
}

void registerRoot(Qel::Module& m) {
  Qel::TypeData& t = m.typeIs(Contract::rootType, Qel::TypeKind::entity);
  t.attributeIs(Qel::Reg::computed<Root>(Root::nameStringAttr, "nameString", &Root::name));
  t.attributeIs(Qel::Reg::pointer<Root>(
      Root::stormControlSnmpAgentAttr, "stormControlSnmpAgent", &Root::stormControlSnmpAgent,
      [](Root& root, const Qel::Args& args) {
        root.stormControlSnmpAgentIs(Qel::arg<MibPtr>(args, 0), Qel::arg<SlicePtr>(args, 1),
                                     Qel::arg<IfMibPtr>(args, 2));
      },
      [](Root& root) { return root.stormControlSnmpAgentDel(); }));
  Qel::TypeOps ops;
  ops.construct = [](const Qel::Args& args) {
    return Qel::Value(Root::RootIs(Qel::arg<Pondo::String>(args, 0)));
  };
  ops.newEntity = [](const Pondo::String& name, const Qel::Args* args) -> Pondo::Ptr<Qel::Entity> {
    if (args) Qel::throwNewEntityArgsException(Contract::rootType);
    return Root::RootIs(name);
  };
  t.opsIs(std::move(ops));
}

void build(Qel::Module& module) {
  registerAgent(module);
  registerRoot(module);
}

Qel::Module& moduleDefinition() {
  return Qel::Reg::moduleDefinition<build>("StormControlSnmpAgent");
}

const bool registered = Qel::Reg::registeredAtLoad(moduleDefinition());

}  // namespace

const Qel::Module& stormControlSnmpAgentModule() { return moduleDefinition(); }

// ---- agent ------------------------------------------------------------------------------

StormControlSnmpAgent::StormControlSnmpAgent(const MibPtr& scMib, const SlicePtr& slice,
                                             const IfMibPtr& ifMib)
    : scMib_(scMib), slice_(slice), ifMib_(ifMib) {
  smControl_.priorityIs(defaultPriority);
  handleInitialized();
}

StormControlSnmpAgent::~StormControlSnmpAgent() {
  nodeFlagSet(Flag::hasNotificationActive, false);
  stormControlIfTableSmDel();
  // The members go in reverse order: the control value (trace name, then scheduler), then
  // ifMib, slice and scMib.
}

const Qel::TypeData* StormControlSnmpAgent::typeData() const {
  return &moduleDefinition().type(agentIndex);
}

void StormControlSnmpAgent::handleInitialized() {
  QEL_TRACE(agentTrace(), 9) << "Creating StormControlIfTableSm";
  // Copies: the machine's construction may reach back into this agent.
  const Ostra::SmControl control = smControl_;
  const IfMibPtr ifMib = ifMib_;
  const SlicePtr slice = slice_;
  const MibPtr scMib = scMib_;
  stormControlIfTableSmIs(scMib, slice, ifMib, control);
}

MachinePtr StormControlSnmpAgent::stormControlIfTableSmIs(const MibPtr& mib, const SlicePtr& slice,
                                                          const IfMibPtr& ifMib,
                                                          const Ostra::SmControl& krelControl) {
  if (const MachinePtr present = stormControlIfTableSm_) {
    present->krelControl() = krelControl;
    if (present->mib() == mib && present->slice() == slice && present->ifMib() == ifMib) {
      return present;
    }
  }
  MachinePtr machine =
      StormControlIfTableSm::StormControlIfTableSmIs(mib, slice, ifMib, krelControl);
  stormControlIfTableSm_ = machine;  // the previous machine goes only now
  machine->hasNotificationActiveIs(true);
  return machine;
}

MachinePtr StormControlSnmpAgent::stormControlIfTableSmDel() {
  MachinePtr removed = std::move(stormControlIfTableSm_);
  if (removed) removed->hasNotificationActiveIs(false);
  return removed;
}

// ---- root -------------------------------------------------------------------------------

Root::~Root() {
  nodeFlagSet(Flag::hasNotificationActive, false);
  stormControlSnmpAgentDel();
}

Pondo::Ptr<Root> Root::RootIs(const Pondo::String& name) { return Pondo::make<Root>(name); }

const Qel::TypeData* Root::typeData() const { return &moduleDefinition().type(rootIndex); }

AgentPtr Root::stormControlSnmpAgentIs(const MibPtr& scMib, const SlicePtr& slice,
                                       const IfMibPtr& ifMib) {
  if (const AgentPtr& present = stormControlSnmpAgent_) {
    if (present->scMib() == scMib && present->slice() == slice && present->ifMib() == ifMib) {
      return present;
    }
  }
  AgentPtr previous = std::move(stormControlSnmpAgent_);
  AgentPtr agent = Pondo::make<StormControlSnmpAgent>(scMib, slice, ifMib);
  stormControlSnmpAgent_ = agent;
  // The previous value is always given; it is an empty pointer when there was no agent.
  publisher_.publishChangeRecursive(stormControlSnmpAgentAttr, nullptr, &previous, nullptr);
  previous.reset();  // the old agent, and with it its machine, goes after the publication
  return agent;
}

AgentPtr Root::stormControlSnmpAgentDel() {
  AgentPtr removed = std::move(stormControlSnmpAgent_);
  if (!removed) return nullptr;
  publisher_.publishChangeRecursive(stormControlSnmpAgentAttr, nullptr, &removed, nullptr);
  return removed;
}

Pondo::Ptr<Root> rootFactory(const Pondo::String& name) { return Root::RootIs(name); }

}  // namespace StormControlSnmp
