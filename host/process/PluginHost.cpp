// host/process/PluginHost.cpp — the plug-in's loading, the state database and the agent's wiring.
#include "PluginHost.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <dlfcn.h>
#include <fmt/format.h>

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
#include "StormControlSnmp/StormControlSnmpContract.h"

namespace Host {
namespace {

namespace Contract = StormControlSnmp::Contract;

/// The plug-in's entry point `name`, typed as the contract declares it; null when missing.
template <class Function>
Function entryPoint(void* library, const char* name) {
  return reinterpret_cast<Function>(dlsym(library, name));
}
#define PLUGIN_ENTRY_POINT(library, name) entryPoint<decltype(&Contract::name)>(library, #name)

constexpr const char* tableName = "breltaStormControlIfTable";
constexpr const char* pluginTypes[] = {Contract::mibType, Contract::rootType, Contract::agentType,
                                       Contract::machineType, Contract::outputStateType};

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
Pondo::Ptr<Qel::Dir> subdir(Qel::Dir& parent, const Pondo::String& name) {
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

/// The directory holding `path`'s last step, made below `mount` as needed.
Pondo::Ptr<Qel::Dir> dirOf(Qel::Dir& mount, std::string_view path) {
  Pondo::Ptr<Qel::Dir> dir(&mount);
  for (std::size_t slash; (slash = path.find('/')) != std::string_view::npos;
       path.remove_prefix(slash + 1)) {
    dir = subdir(*dir, Pondo::String(path.substr(0, slash)));
  }
  return dir;
}

/// `path`'s last step: the name of the entity there.
Pondo::String leafOf(std::string_view path) {
  return Pondo::String(path.substr(path.rfind('/') + 1));
}

/// `entity`, placed at `path` below `mount`.
template <class E>
const Pondo::Ptr<E>& placed(Qel::Dir& mount, std::string_view path, const Pondo::Ptr<E>& entity) {
  dirOf(mount, path)->entityIs(entity);
  return entity;
}

/// A new entity of a registered type, as a directory would create it, named after `path`.
Pondo::Ptr<Qel::Entity> newEntity(const char* typeName, std::string_view path) {
  return typeNamed(typeName).ops().newEntity(leafOf(path), nullptr);
}

/// The node a pointer attribute of `node`, of the registered type `typeName`, points to.
Pondo::Ptr<Pondo::Node> pointee(const char* typeName, const Pondo::Node& node, U16 attribute) {
  return Qel::attrNode(typeNamed(typeName), Qel::objectOf(node), attribute);
}

}  // namespace

PluginHost::~PluginHost() { shutdown(); }

void* PluginHost::rootObject() const { return Qel::objectOf(*root_); }

bool PluginHost::load(const std::string& path, std::string& error) {
  library_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!library_) {
    error = std::string("cannot load the plug-in: ") + dlerror();
    return false;
  }
  unregisterContext_ = PLUGIN_ENTRY_POINT(library_, stormControlSnmpUnregisterContext);
  changedRow_ = PLUGIN_ENTRY_POINT(library_, stormControlSnmpChangedRow);
  if (!unregisterContext_ || !changedRow_) {
    error =
        path + ": no symbol " +
        (unregisterContext_ ? "stormControlSnmpChangedRow" : "stormControlSnmpUnregisterContext");
    return false;
  }
  for (const char* type : pluginTypes) {
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
  mib_ = newEntity(Contract::mibType, Contract::mibPath);
  root_ = newEntity(Contract::rootType, Contract::rootPath);
  if (!mib_ || !root_) {
    error = "the plug-in's types created no table entity or root";
    return false;
  }
  placed(*mount_, Contract::mibPath, mib_);
  placed(*mount_, Contract::rootPath, root_);
  inputs_.slice =
      placed(*mount_, Contract::slicePath, Pondo::make<Qel::Dir>(leafOf(Contract::slicePath)));
  inputs_.ifMib = placed(*mount_, Contract::ifMibPath,
                         Pondo::make<IntfSnmp::IfMib>(leafOf(Contract::ifMibPath)));
  inputs_.scheduler = std::move(scheduler);
  SnmpUtil::agentMountIs(mount_);
  return true;
}

void PluginHost::agentIs() {
  // The table entity goes as a node: generic access hands it on as the class it is.
  Qel::attrSet(typeNamed(Contract::rootType), rootObject(), Contract::rootAgentAttr,
               {Pondo::Ptr<Pondo::Node>(mib_), Pondo::Ptr<const Qel::Dir>(inputs_.slice),
                Pondo::Ptr<const IntfSnmp::IfMib>(inputs_.ifMib)});
  const Pondo::Ptr<Pondo::Node> agentNode =
      pointee(Contract::rootType, *root_, Contract::rootAgentAttr);
  void* agent = Qel::objectOf(*agentNode);
  // The machine runs its tasks on the loop's scheduler: set it in the agent's control, and hand
  // the control to the machine by setting the machine with its own inputs (which keeps it).
  const Qel::TypeData& agentType = typeNamed(Contract::agentType);
  auto control = std::any_cast<Ostra::SmControl>(
      Qel::attrRead(agentType, agent, Contract::agentSmControlAttr));
  control.schedulerIs(inputs_.scheduler);
  Qel::attrSet(agentType, agent, Contract::agentSmControlAttr, {control});
  Qel::attrSet(agentType, agent, Contract::agentMachineAttr,
               {Qel::attrRead(agentType, agent, Contract::agentMibAttr),
                Qel::attrRead(agentType, agent, Contract::agentSliceAttr),
                Qel::attrRead(agentType, agent, Contract::agentIfMibAttr), Qel::Value(control)});
  watchOutput(*agentNode);
}

void PluginHost::restartAgent() {
  outputSlot_.unsubscribe();
  outputState_.reset();
  Qel::attrDel(typeNamed(Contract::rootType), rootObject(), Contract::rootAgentAttr);
  agentIs();
}

void PluginHost::watchOutput(const Pondo::Node& agent) {
  readyReported_ = false;
  const Pondo::Ptr<Pondo::Node> machine =
      pointee(Contract::agentType, agent, Contract::agentMachineAttr);
  outputState_ = pointee(Contract::machineType, *machine, Contract::machineOutputStateAttr);
  Pondo::Publisher* publisher = outputState_ ? outputState_->publisher() : nullptr;
  PONDO_ASSERT_MSG(publisher, "an initialised machine has an output state that publishes");
  publisher->subscriberAdd(outputSlot_, false);
  reportReadyOnce();
}

void PluginHost::onOutputChange(void* self, const Pondo::Change& change) {
  if (change.attribute != Contract::outputReadyAttr) return;
  static_cast<PluginHost*>(self)->reportReadyOnce();
}

void PluginHost::reportReadyOnce() {
  if (readyReported_ || !outputState_) return;
  if (!std::any_cast<bool>(Qel::attrRead(typeNamed(Contract::outputStateType),
                                         Qel::objectOf(*outputState_),
                                         Contract::outputReadyAttr))) {
    return;
  }
  readyReported_ = true;
  const U32 rows = Qel::attrCollection(typeNamed(Contract::mibType), Contract::mibTableAttr)
                       .count(Qel::objectOf(*mib_));
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
  for (const Pondo::String& context : contexts_) unregisterContext_(context.c_str());
  contexts_.clear();
}

void PluginHost::shutdown() {
  unregisterContexts();
  outputSlot_.unsubscribe();
  outputState_.reset();
  if (root_) Qel::attrDel(typeNamed(Contract::rootType), rootObject(), Contract::rootAgentAttr);
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
