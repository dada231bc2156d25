// host/process/PluginHost.cpp — the plug-in's loading, the state database and the agent's wiring.
#include "PluginHost.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <dlfcn.h>

#include <any>
#include <chrono>
#include <map>
#include <string>
#include <utility>

#include "Ostra/SmControl.h"
#include "Pondo/Assert.h"
#include "Pooly/Slab.h"
#include "Qel/Module.h"
#include "Qel/TypeData.h"
#include "Snmp/AutoRegistree.h"
#include "Snmp/RegVoidCollByContext.h"
#include "Snmp/TableCounters.h"
#include "SnmpUtil/SnmpUtil.h"
// Types only: generic access hands attribute values out as `std::any` holding the exact counted
// pointer type, and the root's attribute 258 takes the table entity as exactly such a pointer.
// Naming those pointer types needs the plug-in's class declarations; nothing declared there is
// called (no plug-in symbol is linked), every operation goes through the type registry.
#include "StormControlSnmp/StormControlSnmpAgent.h"

namespace Host {
namespace {

using StormControlSnmp::Root;
using StormControlSnmp::StormControlIfTableSm;
using StormControlSnmp::StormControlMib;
using StormControlSnmp::StormControlSnmpAgent;
using OutputState = StormControlIfTableSm::OutputState;

// The table entity's place below the agent's mount, where the plug-in looks for it.
constexpr const char* mibDirs[] = {"snmp", "stormcontrol"};
constexpr const char* mibName = "stormcontrolmib";
constexpr const char* rootName = "root";
constexpr const char* sliceDirs[] = {"bridging", "stormcontrol"};
constexpr const char* sliceName = "status";
constexpr const char* ifMibDirs[] = {"interface", "snmp"};
constexpr const char* ifMibName = "ifmib";

constexpr const char* tableName = "breltaStormControlIfTable";
constexpr const char* mibTypeName = "StormControlSnmp::StormControlMib";
constexpr const char* rootTypeName = "StormControlSnmp::Root";
constexpr const char* agentTypeName = "StormControlSnmp::StormControlSnmpAgent";
constexpr const char* machineTypeName = "StormControlSnmp::StormControlIfTableSm";
constexpr const char* outputStateTypeName =
    "StormControlSnmp::KrelCode::StormControlIfTableSm::OutputState";
// `unregister_breltaStormControlMIB(Pondo::String)`, a C++ function, by its mangled name.
constexpr const char* unregisterSymbol = "_Z32unregister_breltaStormControlMIBN5Pondo6StringE";

// Attribute numbers of the plug-in's types, as registered.
constexpr U16 rootAgentAttr = 258;           // Root::stormControlSnmpAgent
constexpr U16 agentScMibAttr = 130;          // StormControlSnmpAgent::scMib
constexpr U16 agentSliceAttr = 131;          // StormControlSnmpAgent::slice
constexpr U16 agentIfMibAttr = 132;          // StormControlSnmpAgent::ifMib
constexpr U16 agentSmControlAttr = 133;      // StormControlSnmpAgent::smControl
constexpr U16 agentMachineAttr = 134;        // StormControlSnmpAgent::stormControlIfTableSm
constexpr U16 machineOutputStateAttr = 134;  // StormControlIfTableSm::outputState
constexpr U16 outputReadyAttr = 131;         // OutputState::ready

constexpr const char* counterNames[Snmp::orderedTableIteratorCounterTypeCount] = {
    "getFirstHintNotFound",  "getFirstFromHint", "getFirstFromStart",
    "getNextWithoutContext", "getNextPastLast",  "getNextRow",
};

const Qel::TypeData& typeNamed(const char* name) {
  const Qel::TypeData* type = Qel::qelType(name);
  PONDO_ASSERT_MSG(type, "the plug-in types checked at load stay registered");
  return *type;
}

/// The directory `parent`/`name`, created when absent.
Pondo::Ptr<Qel::Dir> subdir(Qel::Dir& parent, const char* name) {
  Pondo::Ptr<const Qel::Entity> present = parent.entityPtr(name);
  if (present) {
    const auto* dir = dynamic_cast<const Qel::Dir*>(present.get());
    PONDO_ASSERT_MSG(dir, "every step of a database path is a directory");
    return Pondo::Ptr<Qel::Dir>(const_cast<Qel::Dir*>(dir));
  }
  auto dir = Pondo::make<Qel::Dir>(name);
  parent.entityIs(dir);
  return dir;
}

template <std::size_t N>
Pondo::Ptr<Qel::Dir> dirPath(Qel::Dir& mount, const char* const (&names)[N]) {
  Pondo::Ptr<Qel::Dir> dir(&mount);
  for (const char* name : names) dir = subdir(*dir, name);
  return dir;
}

/// A new entity of a registered type, as a directory would create it.
Pondo::Ptr<Qel::Entity> newEntity(const char* typeName, const char* name) {
  return typeNamed(typeName).ops().newEntity(name, nullptr);
}

}  // namespace

PluginHost::~PluginHost() { shutdown(); }

void* PluginHost::rootObject() const { return static_cast<Root*>(root_.get()); }

bool PluginHost::load(const std::string& path, std::string& error) {
  library_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!library_) {
    error = std::string("cannot load the plug-in: ") + dlerror();
    return false;
  }
  void* unregister = dlsym(library_, unregisterSymbol);
  if (!unregister) {
    error = path + ": no symbol unregister_breltaStormControlMIB(Pondo::String) (" +
            unregisterSymbol + ")";
    return false;
  }
  unregisterMib_ = reinterpret_cast<void (*)(Pondo::String)>(unregister);
  for (const char* type :
       {mibTypeName, rootTypeName, agentTypeName, machineTypeName, outputStateTypeName}) {
    if (!Qel::qelType(type)) {
      error = path + ": the plug-in registered no type " + type;
      return false;
    }
  }
  if (Snmp::AutoRegistree::count() == 0) {
    error = path + ": the plug-in handed no registration object to the host";
    return false;
  }
  return true;
}

bool PluginHost::buildDatabase(Pondo::Ptr<Velo::TaskScheduler> scheduler, std::string& error) {
  mount_ = Pondo::make<Qel::Dir>("agent");
  mib_ = newEntity(mibTypeName, mibName);
  root_ = newEntity(rootTypeName, rootName);
  if (!mib_ || !root_) {
    error = "the plug-in's types created no table entity or root";
    return false;
  }
  const Pondo::Ptr<Qel::Dir> mibDir = dirPath(*mount_, mibDirs);
  mibDir->entityIs(mib_);
  mibDir->entityIs(root_);
  inputs_.slice = Pondo::make<Qel::Dir>(sliceName);
  dirPath(*mount_, sliceDirs)->entityIs(inputs_.slice);
  inputs_.ifMib = Pondo::make<IntfSnmp::IfMib>(ifMibName);
  dirPath(*mount_, ifMibDirs)->entityIs(inputs_.ifMib);
  inputs_.scheduler = std::move(scheduler);
  SnmpUtil::agentMountIs(mount_);
  return true;
}

void PluginHost::agentIs() {
  const Qel::TypeData& rootType = typeNamed(rootTypeName);
  // The entity as the exact pointer type the attribute takes (see the include above).
  const Pondo::Ptr<StormControlMib> mib(static_cast<StormControlMib*>(mib_.get()));
  Qel::attrSet(rootType, rootObject(), rootAgentAttr,
               {mib, Pondo::Ptr<const Qel::Dir>(inputs_.slice),
                Pondo::Ptr<const IntfSnmp::IfMib>(inputs_.ifMib)});
  const auto agent = std::any_cast<Pondo::Ptr<StormControlSnmpAgent>>(
      Qel::attrRead(rootType, rootObject(), rootAgentAttr));
  // The machine runs its tasks on the loop's scheduler: set it in the agent's control, and hand
  // the control to the machine by setting the machine with its own inputs (which keeps it).
  const Qel::TypeData& agentType = typeNamed(agentTypeName);
  auto control =
      std::any_cast<Ostra::SmControl>(Qel::attrRead(agentType, agent.get(), agentSmControlAttr));
  control.schedulerIs(inputs_.scheduler);
  Qel::attrSet(agentType, agent.get(), agentSmControlAttr, {control});
  Qel::attrSet(agentType, agent.get(), agentMachineAttr,
               {Qel::attrRead(agentType, agent.get(), agentScMibAttr),
                Qel::attrRead(agentType, agent.get(), agentSliceAttr),
                Qel::attrRead(agentType, agent.get(), agentIfMibAttr), Qel::Value(control)});
  watchOutput();
}

void PluginHost::restartAgent() {
  outputSlot_.unsubscribe();
  outputState_.reset();
  Qel::attrDel(typeNamed(rootTypeName), rootObject(), rootAgentAttr);
  agentIs();
}

void PluginHost::watchOutput() {
  readyReported_ = false;
  const auto agent = std::any_cast<Pondo::Ptr<StormControlSnmpAgent>>(
      Qel::attrRead(typeNamed(rootTypeName), rootObject(), rootAgentAttr));
  const auto machine = std::any_cast<Pondo::Ptr<StormControlIfTableSm>>(
      Qel::attrRead(typeNamed(agentTypeName), agent.get(), agentMachineAttr));
  const auto output = std::any_cast<Pondo::Ptr<OutputState>>(
      Qel::attrRead(typeNamed(machineTypeName), machine.get(), machineOutputStateAttr));
  outputState_ = output;
  // The publisher through the platform's base class: the node's own virtual.
  Pondo::Publisher* publisher = outputState_ ? outputState_->publisher() : nullptr;
  PONDO_ASSERT_MSG(publisher, "an initialised machine has an output state that publishes");
  publisher->subscriberAdd(outputSlot_, false);
  reportReadyOnce();
}

void PluginHost::onOutputChange(void* self, const Pondo::Change& change) {
  if (change.attribute != outputReadyAttr) return;
  static_cast<PluginHost*>(self)->reportReadyOnce();
}

void PluginHost::reportReadyOnce() {
  if (readyReported_ || !outputState_) return;
  const auto* output = static_cast<const OutputState*>(outputState_.get());
  if (!std::any_cast<bool>(
          Qel::attrRead(typeNamed(outputStateTypeName), output, outputReadyAttr))) {
    return;
  }
  readyReported_ = true;
  const Qel::TypeData& mibType = typeNamed(mibTypeName);
  const Qel::Attribute* table = mibType.attribute("stormControlIfTable");
  const U32 rows = table->collection.count(static_cast<const StormControlMib*>(mib_.get()));
  snmp_log(LOG_INFO, "table ready: %u rows\n", unsigned(rows));
  if (readyHandler_) readyHandler_(unsigned(rows));
}

void PluginHost::initContexts(const std::vector<std::string>& contexts) {
  contexts_.emplace_back("");
  Snmp::AutoRegistree::initHandlers(Pondo::String(""));
  for (const std::string& context : contexts) {
    contexts_.emplace_back(context);
    Snmp::AutoRegistree::initHandlers(Pondo::String(context));
  }
}

void PluginHost::logCounters() const {
  const auto registry = Qel::Entity::singletonExists(Snmp::RegVoidCollByContext::singletonName);
  Pondo::Ptr<Snmp::RegVoid> record;
  if (registry) {
    record = static_cast<const Snmp::RegVoidCollByContext*>(registry.get())
                 ->regVoid(Pondo::String(""), Pondo::String(tableName));
  }
  if (!record || !record->tableCounters()) {
    snmp_log(LOG_INFO, "counters: none (the table is not served)\n");
  } else {
    std::string line = "counters:";
    for (unsigned i = 0; i < Snmp::orderedTableIteratorCounterTypeCount; ++i) {
      const auto type = static_cast<Snmp::OrderedTableIteratorCounterTypes>(i);
      line +=
          fmt::format(" {}={}", counterNames[i], record->tableCounters()->orderedIterCntr(type));
    }
    snmp_log(LOG_INFO, "%s\n", line.c_str());
  }
  const Velo::TaskScheduler& scheduler = *inputs_.scheduler;
  snmp_log(
      LOG_INFO, "scheduler: runs=%llu longestRun=%lldus\n",
      static_cast<unsigned long long>(scheduler.runs()),
      static_cast<long long>(
          std::chrono::duration_cast<std::chrono::microseconds>(scheduler.longestRun()).count()));
  logAllocations();
}

void PluginHost::logAllocations() {
  // By name: each instantiation of a class template has a tracker of its own.
  std::map<std::string, U64> live;
  for (const Pooly::AllocTracker* t = Pooly::AllocTracker::first(); t; t = t->next()) {
    live[t->typeName] += t->liveObjects;
  }
  std::string line = "allocations:";
  for (const auto& [name, count] : live) line += fmt::format(" {}={}", name, count);
  snmp_log(LOG_INFO, "%s\n", line.c_str());
}

void PluginHost::unregisterContexts() {
  for (const Pondo::String& context : contexts_) unregisterMib_(context);
  contexts_.clear();
}

void PluginHost::shutdown() {
  unregisterContexts();
  outputSlot_.unsubscribe();
  outputState_.reset();
  if (root_) Qel::attrDel(typeNamed(rootTypeName), rootObject(), rootAgentAttr);
  SnmpUtil::agentMountIs(nullptr);
  root_.reset();
  mib_.reset();
  inputs_ = SwitchInputs{};
  mount_.reset();
  if (!library_) return;
  dlclose(library_);
  library_ = nullptr;
}

}  // namespace Host
