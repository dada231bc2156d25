// StormControlSnmp/StormControlIfTableSm.cpp — the table maintenance machine, its input
// machines, the join pipeline, reconciliation and the machine's type module.
#include "StormControlSnmp/StormControlIfTableSm.h"

#include <ostream>
#include <sstream>
#include <typeinfo>
#include <utility>

#include "Pondo/Assert.h"
#include "Qel/Exception.h"
#include "Qel/Registration.h"
#include "Qel/Strep.h"

namespace StormControlSnmp {

namespace {

using Bridging::StormControl::IntfStatus;
using Bridging::StormControl::Status;
using Ostra::Gen::InputScanState;
using Key = StormControlIfTableKey;
using OutputKey = StormControlIfTableSm::MibStormControlIfTableOutputKeyType;
using KrelCode::IntfStatusOpt;
using KrelCode::IntfStatusPtr;
using KrelCode::krelPrint;
namespace Sm = KrelCode::StormControlIfTableSm;

constexpr const char* ifMibTaskName = "StormControlSnmp::StormControlIfTableSm-IfMibSm2InputScanTask1";
constexpr const char* sliceTaskName = "StormControlSnmp::StormControlIfTableSm-SliceSm0InputScanTask0";
constexpr const char* enMissing =
    "en() && \"Sm args can only be null if marked as Optional in the SM type declaration\"";

enum TypeIndex : U16 {
  inputSmScanStateIndex,
  outputStateIndex,
  entityPtrSm1Index,
  ifMibSm2Index,
  sliceSm0Index,
  outputKeyIndex,
  machineIndex,
};

const Qel::TypeData& typeAt(TypeIndex index) { return stormControlIfTableSmModule().type(index); }

/// The handler the machine traces to when its control names none; obtained at load.
const Pondo::Ptr<Pondo::Platform::DebugHandler> defaultTraceHandler =
    Pondo::Platform::getDebugHandler("StormControlIfTableSm", false);

/// A scan counts as complete when it is, or when its initial scan is while the root's own
/// initial scan is not done yet.
bool scanComplete(InputScanState state, bool rootInitialScanDone) {
  return state == InputScanState::complete ||
         (state == InputScanState::initialComplete && !rootInitialScanDone);
}

/// The input machines' zombie switch: the runtime's hook, then the node's mark.
void zombieIs(Ostra::Gen::InputStateMachine& sm, bool zombie) {
  if (sm.zombie() == zombie) return;
  sm.Ostra::Gen::InputStateMachine::qelDoZombieReactors(zombie);
  sm.markAndSweepFlagSet(zombie);
}

/// The entity as a status entity, or null. Slice entities are of exactly that type, which one
/// comparison of type identities settles; the general cast, which costs more than the join's
/// lookup itself, is left for anything else.
const Status* asStatus(const Qel::Entity* entity) {
  if (entity && typeid(*entity) == typeid(Status)) return static_cast<const Status*>(entity);
  return dynamic_cast<const Status*>(entity);
}

/// Adds or removes `slot` on `publisher` so that it is subscribed exactly when `active`.
void subscriptionIs(Pondo::Subscriber& slot, Pondo::Publisher* publisher, bool active) {
  if (active == slot.subscribed()) return;
  if (active) {
    publisher->subscriberAdd(slot, false);
    return;
  }
  slot.unsubscribe();
}

/// Keeps `task` when it runs on `scheduler` under `name`, setting its priority; otherwise
/// replaces it with a new task that `slot` subscribes to. True when a new task was made.
bool taskIs(Pondo::Ptr<Velo::Task>& task, Pondo::Subscriber& slot,
            const Pondo::Ptr<Velo::TaskScheduler>& scheduler, Velo::TaskPriority priority,
            const Pondo::String& name) {
  if (task) {
    task->taskPriorityIs(priority);
    if (task->taskScheduler() == scheduler && task->taskName() == name) return false;
  }
  slot.unsubscribe();
  task = Pondo::make<Velo::Task>(scheduler, priority, name);
  task->publisher()->subscriberAdd(slot, false);
  return true;
}

}  // namespace

/// Traces `format` at `level` from `function` of `component` through `handle`; the arguments
/// are evaluated only when the level is enabled.
#define SM_TRACE(handle, level, function, component, ...)                                 \
  do {                                                                                     \
    const Pondo::Platform::DebugHandler& smTrace_ = (handle);                              \
    if (smTrace_.enabled(level)) {                                                         \
      Pondo::fmtrace(smTrace_, level, __FILE__, function, __LINE__, component,         \
                     __VA_ARGS__);                                                         \
    }                                                                                      \
  } while (0)

// ---- trace text of pipeline values ------------------------------------------------------

namespace KrelCode {

namespace {

template <class T>
std::string streamed(const T& value) {
  std::ostringstream out;
  out << value;
  return out.str();
}

const Qel::Entity* entityOf(const IntfStatusPtr& status) { return status.get(); }

}  // namespace

std::string krelPrint(const StormControlTCType& value) { return streamed(value); }
std::string krelPrint(const Pondo::String& value) { return value.stdString(); }
std::string krelPrint(const Lumo::IntfId& value) { return value.stringValue().stdString(); }

std::string krelPrint(const U32Optional& value) {
  if (!value) return "None";
  std::ostringstream out;
  out << "Optional( " << value.value() << " )";
  return out.str();
}

std::string krelPrint(const IntfStatusOpt& value) {
  if (!value) return "None";
  std::ostringstream out;
  out << "Optional( " << entityOf(value.value()) << " )";
  return out.str();
}

std::string krelPrint(const OutputElement& value) {
  std::ostringstream out;
  out << "Tuple( " << value.first << ", " << entityOf(value.second) << " )";
  return out.str();
}

}  // namespace KrelCode

// ---- output key -------------------------------------------------------------------------

StormControlIfTableSm::MibStormControlIfTableOutputKeyType::MibStormControlIfTableOutputKeyType(
    Qel::CharRange& range) {
  Qel::CharRange::needPre(
      range, "StormControlSnmp::StormControlIfTableSm::MibStormControlIfTableOutputKeyType", "k0");
  try {
    k0_ = Key(range);
  } catch (const Qel::RangeException& e) {
    Qel::rethrowFromDeserializeAttr(e, "k0");
  }
  k0Valid_ = Qel::desAttrPost<bool>(range, "k0Valid");
}

bool OutputKey::isEq(const void* a, const void* b) noexcept {
  return a == b || *static_cast<const OutputKey*>(a) == *static_cast<const OutputKey*>(b);
}

U32 OutputKey::hash(U32 seed) const noexcept {
  Qel::Hash h(seed);
  h.hashMix<4>(k0_.hash(0));
  h.hashMix<1>(k0Valid_);
  return h.result();
}

std::ostream& operator<<(std::ostream& out, const OutputKey& key) {
  return out << Qel::valueToStrep(&key, typeAt(outputKeyIndex));
}

// ---- state objects ----------------------------------------------------------------------

namespace KrelCode::StormControlIfTableSm {

Pondo::Ptr<InputSmScanState> InputSmScanState::InputSmScanStateIs() {
  return Pondo::make<InputSmScanState>();
}

const Qel::TypeData* InputSmScanState::typeData() const { return &typeAt(inputSmScanStateIndex); }

void InputSmScanState::flagIs(bool& flag, bool value, U16 attr) {
  if (flag == value) return;
  const bool previous = std::exchange(flag, value);
  publisher_.publishChangeRecursive(attr, nullptr, &previous, nullptr);
}

void InputSmScanState::ifMibStreamScanIs(bool value) {
  flagIs(ifMibStreamScan_, value, ifMibStreamScanAttr);
}
void InputSmScanState::statusStreamScanIs(bool value) {
  flagIs(statusStreamScan_, value, statusStreamScanAttr);
}
void InputSmScanState::idleIs(bool value) { flagIs(idle_, value, idleAttr); }

Pondo::Ptr<OutputState> OutputState::OutputStateIs() { return Pondo::make<OutputState>(); }

Pondo::Ptr<OutputState> outputStateFactory() { return OutputState::OutputStateIs(); }

const Qel::TypeData* OutputState::typeData() const { return &typeAt(outputStateIndex); }

void OutputState::mibStormControlIfTableOutputReadyIs(bool value) {
  if (outputReady_ == value) return;
  const bool previous = std::exchange(outputReady_, value);
  readyIs(value);  // subscribers see `ready` change first
  publisher_.publishChangeRecursive(mibStormControlIfTableOutputReadyAttr, nullptr, &previous,
                                    nullptr);
}

void OutputState::readyIs(bool value) {
  if (ready_ == value) return;
  const bool previous = std::exchange(ready_, value);
  publisher_.publishChangeRecursive(readyAttr, nullptr, &previous, nullptr);
}

// ---- interface-index input machine ------------------------------------------------------

Pondo::Ptr<IfMibSm2> IfMibSm2::IfMibSm2Is(const IfMibPtrConst& ifMib,
                                          ::StormControlSnmp::StormControlIfTableSm* parent) {
  auto machine = Pondo::make<IfMibSm2>(ifMib, parent);
  machine->hasNotificationActiveIs(true);
  return machine;
}

IfMibSm2::IfMibSm2(const IfMibPtrConst& ifMib, ::StormControlSnmp::StormControlIfTableSm* parent)
    : en_(ifMib), parent_(parent) {
  if (en_) en_->publisher()->subscriberAdd(enSubscriber_, false);
  try {
    handleInitialized();
  } catch (...) {
    enSubscriber_.unsubscribe();
    task1Subscriber_.unsubscribe();
    throw;
  }
}

IfMibSm2::~IfMibSm2() {
  hasNotificationActiveIs(false);
  qelDoZombieReactors(true);
  enSubscriber_.unsubscribe();
  task1Del();
}

const Qel::TypeData* IfMibSm2::typeData() const { return &typeAt(ifMibSm2Index); }

const Pondo::Platform::DebugHandler& IfMibSm2::traceHandle() const {
  return parent_ ? parent_->traceHandle() : *defaultTraceHandler;
}

bool IfMibSm2::initialScanDone() const { return parent_ && parent_->initialScanDone(); }
bool IfMibSm2::synchronous() const { return parent_ && parent_->synchronous(); }

void IfMibSm2::qelDoZombieReactors(bool zombie) { zombieIs(*this, zombie); }

void IfMibSm2::hasNotificationActiveIs(bool active) {
  if (hasNotificationActive() == active) return;
  InputStateMachine::hasNotificationActiveIs(active);
  if (en_) subscriptionIs(enSubscriber_, en_->publisher(), active);
  if (task1_) subscriptionIs(task1Subscriber_, task1_->publisher(), active);
}

void IfMibSm2::enDispatch(const Pondo::Change& change) {
  if (change.attribute != IntfSnmp::IfMib::ifIndexByIntfIdAttr || zombie()) return;
  const Lumo::IntfId intfId = *static_cast<const Lumo::IntfId*>(change.key);
  handleIfIndexByIntfId1Reactor(intfId);
}

void IfMibSm2::task1Dispatch(const Pondo::Change& change) {
  if (change.attribute != Velo::Task::runAttribute || zombie()) return;
  const Pondo::Ptr<IfMibSm2> self(this);  // the run may release the machine's last owner
  doInputScan1();
}

void IfMibSm2::handleIfIndexByIntfId1Reactor(const Lumo::IntfId& intfId) {
  Ostra::Gen::InReactor reactor(this);
  handleIfIndexByIntfId1(intfId);
}

void IfMibSm2::handleIfIndexByIntfId1(const Lumo::IntfId& intfId) {
  if (!initialized()) return;
  SM_TRACE(traceHandle(), 8, "handleIfIndexByIntfId1", "IfMibSm2", "k: {}", krelPrint(intfId));
  versionIfIndexByIntfId_ = en_->ifIndexByIntfId().version();
  const U32Optional ifIndexOpt = en_->ifIndexByIntfId(intfId);
  if (parent_) parent_->eventToIfMibStream(intfId, ifIndexOpt);
}

void IfMibSm2::doInitializeTask() {
  if (synchronous() || !parent_) return;
  task1Is(parent_->scheduler(), parent_->priority(), ifMibTaskName);
}

Pondo::Ptr<Velo::Task> IfMibSm2::task1Is(const Pondo::Ptr<Velo::TaskScheduler>& scheduler,
                                         Velo::TaskPriority priority, const Pondo::String& name) {
  if (taskIs(task1_, task1Subscriber_, scheduler, priority, name)) doInputScan1();
  return task1_;
}

Pondo::Ptr<Velo::Task> IfMibSm2::task1Del() {
  Pondo::Ptr<Velo::Task> task = std::move(task1_);
  task1Subscriber_.unsubscribe();
  return task;
}

void IfMibSm2::doInputScan() {
  if (!initialized()) return;
  SM_TRACE(traceHandle(), 9, "doInputScan", "IfMibSm2", "{}", "");
  if (!synchronous() && task1_ && task1_->taskScheduler()) {
    task1_->scheduleTask();
    return;
  }
  doInputScan1();
}

bool IfMibSm2::shouldYield1() const {
  return task1_ && !inReactor() && task1_->taskShouldYield();
}

bool IfMibSm2::inTask1() const { return task1_ && task1_->taskCurrentlyRunning(); }

bool IfMibSm2::inputScanComplete1() const { return scanComplete(inputScanState1_, initialScanDone()); }

void IfMibSm2::doInputScan1() {
  if (!initialized()) return;
  const auto& trace = traceHandle();
  SM_TRACE(trace, 9, "doInputScan1", "IfMibSm2", "{}", "");
  const InputScanState entry = inputScanState1_;
  SM_TRACE(trace, 9, "doInputScan1", "IfMibSm2", " scan complete: {} resumed: {} scan: {}",
           inputScanComplete1(), entry == InputScanState::yielded,
           parent_ && parent_->inputSmScanState() && parent_->inputSmScanState()->ifMibStreamScan());
  if (entry == InputScanState::complete) return;
  if (entry == InputScanState::initialComplete && !initialScanDone()) return;
  PONDO_ASSERT_MSG(en_, enMissing);

  const auto& map = en_->ifIndexByIntfId();
  auto it = entry == InputScanState::yielded ? map.iteratorFrom(inputScanBookmark1_) : map.begin();
  U32 handled = 0;
  while (!it.atEnd()) {
    const Lumo::IntfId& intfId = it.key();  // the iterator's own copy, stable until ++it
    handleIfIndexByIntfId1(intfId);
    ++handled;
    const bool yield = shouldYield1();
    const U32 total = map.count();
    ++it;
    if (!yield || it.atEnd()) continue;
    SM_TRACE(trace, 8, "doInputScan1", "IfMibSm2", "{} {} yielding after {} iterations ({} total items)",
             "", "", handled, total);
    inputScanState1_ = InputScanState::yielded;
    inputScanBookmark1_ = it.key();
    task1_->taskWorkCountInc(handled);
    task1_->taskWorkPendingIs(total);
    task1_->scheduleTask();
    versionIfIndexByIntfId_ = map.version();
    return;
  }

  versionIfIndexByIntfId_ = map.version();
  std::string label = "IfMibSm2";
  if (initialScanDone()) {
    inputScanState1_ = InputScanState::complete;
    task1Del();
  } else {
    inputScanState1_ = InputScanState::initialComplete;
    label += " initial";
  }
  if (parent_ && parent_->inputSmScanState()) parent_->inputSmScanState()->ifMibStreamScanIs(true);
  SM_TRACE(trace, 9, "doInputScan1", "IfMibSm2", "{} scan, and parent scan, complete.", label);
}

void IfMibSm2::doDeleteAll() {
  SM_TRACE(traceHandle(), 9, "doDeleteAll", "IfMibSm2", "{}", "");
  if (!initialScanDone()) return;
  const auto& map = en_->ifIndexByIntfId();
  if (versionIfIndexByIntfId_ != map.version()) {
    Pondo::Impl::vfmassert(__FILE__, __LINE__, __func__, "{}",
                           fmt::make_format_args("We missed notifications that happened to "
                                                 "ifIndexByIntfId before the enclosing entity got "
                                                 "deleted"));
  }
  for (auto it = map.begin(); !it.atEnd(); ++it) parent_->eventToIfMibStream(it.key(), U32Optional());
}

// ---- status-entity input machine --------------------------------------------------------

Pondo::Ptr<EntityPtrSm1> EntityPtrSm1::EntityPtrSm1Is(const StatusPtrConst& status,
                                                      SliceSm0* parent) {
  auto machine = Pondo::make<EntityPtrSm1>(status, parent);
  machine->hasNotificationActiveIs(true);
  return machine;
}

EntityPtrSm1::EntityPtrSm1(const StatusPtrConst& status, SliceSm0* parent)
    : en_(status), parent_(parent) {
  if (en_) en_->publisher()->subscriberAdd(enSubscriber_, false);
  try {
    handleInitialized();
  } catch (...) {
    enSubscriber_.unsubscribe();
    throw;
  }
}

EntityPtrSm1::~EntityPtrSm1() {
  hasNotificationActiveIs(false);
  qelDoZombieReactors(true);
  enSubscriber_.unsubscribe();
}

const Qel::TypeData* EntityPtrSm1::typeData() const { return &typeAt(entityPtrSm1Index); }

::StormControlSnmp::StormControlIfTableSm* EntityPtrSm1::root() const noexcept {
  return parent_ ? parent_->parent() : nullptr;
}

const Pondo::Platform::DebugHandler& EntityPtrSm1::traceHandle() const {
  return root() ? root()->traceHandle() : *defaultTraceHandler;
}

bool EntityPtrSm1::initialScanDone() const { return root() && root()->initialScanDone(); }
bool EntityPtrSm1::synchronous() const { return root() && root()->synchronous(); }

void EntityPtrSm1::inReactorIs(bool inReactor) {
  if (parent_) parent_->inReactorIs(inReactor);
}

bool EntityPtrSm1::inReactor() const { return parent_ && parent_->inReactor(); }

void EntityPtrSm1::qelDoZombieReactors(bool zombie) { zombieIs(*this, zombie); }

void EntityPtrSm1::hasNotificationActiveIs(bool active) {
  if (hasNotificationActive() == active) return;
  InputStateMachine::hasNotificationActiveIs(active);
  if (en_) subscriptionIs(enSubscriber_, en_->publisher(), active);
}

void EntityPtrSm1::enDispatch(const Pondo::Change& change) {
  if (change.attribute != Status::intfStatusAttr || zombie()) return;
  const Pondo::String intfName = *static_cast<const Pondo::String*>(change.key);
  handleIntfStatus0Reactor(intfName);
}

void EntityPtrSm1::handleIntfStatus0Reactor(const Pondo::String& intfName) {
  Ostra::Gen::InReactor reactor(this);
  handleIntfStatus0(intfName);
}

void EntityPtrSm1::handleIntfStatus0(const Pondo::String& intfName) {
  if (!initialized()) return;
  SM_TRACE(traceHandle(), 8, "handleIntfStatus0", "EntityPtrSm1", "k: {}", krelPrint(intfName));
  versionIntfStatus_ = en_->intfStatus().version();
  // Present means the name is in the collection, whatever its value (a null value included).
  const IntfStatusPtr* status = en_->intfStatus().find(intfName);
  const IntfStatusOpt intfStatusOpt = status ? IntfStatusOpt(*status) : IntfStatusOpt();
  if (auto* r = root()) r->eventToStatusStream(en_->name(), intfName, intfStatusOpt);
}

void EntityPtrSm1::doInputScan() {
  if (!initialized()) return;
  SM_TRACE(traceHandle(), 9, "doInputScan", "EntityPtrSm1", "{}", krelPrint(smKey()));
  doInputScan0();
}

bool EntityPtrSm1::shouldYield0() const {
  return parent_ && parent_->task0() && !parent_->inReactor() && parent_->task0()->taskShouldYield();
}

bool EntityPtrSm1::inTask0() const {
  return parent_ && parent_->task0() && parent_->task0()->taskCurrentlyRunning();
}

bool EntityPtrSm1::inputScanComplete0() const { return scanComplete(inputScanState0_, initialScanDone()); }

void EntityPtrSm1::doInputScan0() {
  if (!initialized()) return;
  const auto& trace = traceHandle();
  SM_TRACE(trace, 9, "doInputScan0", "EntityPtrSm1", "{}", krelPrint(smKey()));
  const InputScanState entry = inputScanState0_;
  if (entry == InputScanState::complete) return;
  if (entry == InputScanState::initialComplete && !initialScanDone()) return;
  PONDO_ASSERT_MSG(en_, enMissing);

  const auto& map = en_->intfStatus();
  auto it = entry == InputScanState::yielded ? map.iteratorFrom(inputScanBookmark0_) : map.begin();
  U32 handled = 0;
  while (!it.atEnd()) {
    const Pondo::String& intfName = it.key();  // the iterator's own copy, stable until ++it
    handleIntfStatus0(intfName);
    ++handled;
    const bool yield = shouldYield0();
    const U32 total = map.count();
    ++it;
    if (!yield || it.atEnd()) continue;
    SM_TRACE(trace, 8, "doInputScan0", "EntityPtrSm1",
             "{} {} yielding after {} iterations ({} total items)", krelPrint(smKey()), "", handled,
             total);
    inputScanState0_ = InputScanState::yielded;
    inputScanBookmark0_ = it.key();
    versionIntfStatus_ = map.version();
    return;
  }

  versionIntfStatus_ = map.version();
  std::string label = "EntityPtrSm1";
  if (initialScanDone()) {
    inputScanState0_ = InputScanState::complete;
  } else {
    inputScanState0_ = InputScanState::initialComplete;
    label += " initial";
  }
  SM_TRACE(trace, 9, "doInputScan0", "EntityPtrSm1", "{} scan complete. Processed {} children. ",
           label, handled);
}

void EntityPtrSm1::doDeleteAll() {
  SM_TRACE(traceHandle(), 9, "doDeleteAll", "EntityPtrSm1", "{}", "");
  if (!initialScanDone()) return;
  const auto& map = en_->intfStatus();
  if (versionIntfStatus_ != map.version()) {
    Pondo::Impl::vfmassert(__FILE__, __LINE__, __func__, "{}",
                           fmt::make_format_args("We missed notifications that happened to "
                                                 "intfStatus before the enclosing entity got "
                                                 "deleted"));
  }
  for (auto it = map.begin(); !it.atEnd(); ++it) {
    root()->eventToStatusStream(en_->name(), it.key(), IntfStatusOpt());
  }
}

// ---- slice input machine ----------------------------------------------------------------

Pondo::Ptr<SliceSm0> SliceSm0::SliceSm0Is(const DirPtrConst& slice,
                                          ::StormControlSnmp::StormControlIfTableSm* parent) {
  auto machine = Pondo::make<SliceSm0>(slice, parent);
  machine->hasNotificationActiveIs(true);
  return machine;
}

SliceSm0::SliceSm0(const DirPtrConst& slice, ::StormControlSnmp::StormControlIfTableSm* parent)
    : en_(slice), parent_(parent) {
  if (en_) en_->publisher()->subscriberAdd(enSubscriber_, false);
  try {
    handleInitialized();
  } catch (...) {
    enSubscriber_.unsubscribe();
    task0Subscriber_.unsubscribe();
    throw;
  }
}

SliceSm0::~SliceSm0() {
  hasNotificationActiveIs(false);
  qelDoZombieReactors(true);
  enSubscriber_.unsubscribe();
  childSmEntityPtrBridgingStormControlStatusPtrConstDelAll();
  task0Del();
}

const Qel::TypeData* SliceSm0::typeData() const { return &typeAt(sliceSm0Index); }

const Pondo::Platform::DebugHandler& SliceSm0::traceHandle() const {
  return parent_ ? parent_->traceHandle() : *defaultTraceHandler;
}

bool SliceSm0::initialScanDone() const { return parent_ && parent_->initialScanDone(); }
bool SliceSm0::synchronous() const { return parent_ && parent_->synchronous(); }

void SliceSm0::qelDoZombieReactors(bool zombie) { zombieIs(*this, zombie); }

void SliceSm0::hasNotificationActiveIs(bool active) {
  if (hasNotificationActive() == active) return;
  InputStateMachine::hasNotificationActiveIs(active);
  if (en_) subscriptionIs(enSubscriber_, en_->publisher(), active);
  for (auto it = children_.begin(); !it.atEnd(); ++it) it.value()->hasNotificationActiveIs(active);
  if (task0_) subscriptionIs(task0Subscriber_, task0_->publisher(), active);
}

void SliceSm0::enDispatch(const Pondo::Change& change) {
  if (change.attribute != Qel::Dir::entityPtrAttr || zombie()) return;
  const Pondo::String name = *static_cast<const Pondo::String*>(change.key);
  handleEntityPtr0Reactor(name);
}

void SliceSm0::task0Dispatch(const Pondo::Change& change) {
  if (change.attribute != Velo::Task::runAttribute || zombie()) return;
  const Pondo::Ptr<SliceSm0> self(this);  // the run may release the machine's last owner
  doInputScan0();
}

void SliceSm0::handleEntityPtr0Reactor(const Pondo::String& name) {
  Ostra::Gen::InReactor reactor(this);
  handleEntityPtr0(name);
}

void SliceSm0::handleEntityPtr0(const Pondo::String& name) {
  if (!initialized()) return;
  SM_TRACE(traceHandle(), 8, "handleEntityPtr0", "SliceSm0", "k: {}", krelPrint(name));
  const Pondo::Ptr<const Qel::Entity> entity = en_->entityPtr(name);
  const Pondo::Ptr<EntityPtrSm1>* present = children_.find(name);
  const Pondo::Ptr<EntityPtrSm1> child = present ? *present : nullptr;
  if (!entity) {
    if (child) {
      child->doDeleteAll();
      child->parentIs(nullptr);
    }
    childSmEntityPtrBridgingStormControlStatusPtrConstDel(name);
    return;
  }
  const Pondo::Ptr<const Status> status = Pondo::dynamicPtrCast<const Status>(entity);
  if (!status) {
    SM_TRACE(traceHandle(), 1, "handleEntityPtr0", "SliceSm0",
             "dynamic cast to type ::Bridging::StormControl::Status::RawPtrConst from "
             "Qel::Entity::PtrConst failed. ");
    return;
  }
  if (child && child->en() != status) {
    child->doDeleteAll();
    child->parentIs(nullptr);
    childSmEntityPtrBridgingStormControlStatusPtrConstDel(name);
  }
  childSmEntityPtrBridgingStormControlStatusPtrConstIs(status, this);
}

Pondo::Ptr<EntityPtrSm1> SliceSm0::childSmEntityPtrBridgingStormControlStatusPtrConstIs(
    const EntityPtrSm1::StatusPtrConst& status, SliceSm0* parent) {
  if (!status) {
    Qel::throwMutatorArgNullPointerException(
        "en", "StormControlSnmp::KrelCode::StormControlIfTableSm::SliceSm0", 269);
  }
  const Pondo::String name = status->name();
  if (const Pondo::Ptr<EntityPtrSm1>* present = children_.find(name)) {
    if ((*present)->en() != status) {
      Qel::throwMutatorReinstantiating(
          "StormControlSnmp::KrelCode::StormControlIfTableSm::EntityPtrSm1", "en",
          (*present)->en().get(), status.get());
    }
    (*present)->parentIs(parent);
    return *present;
  }
  Pondo::Ptr<EntityPtrSm1> child = EntityPtrSm1::EntityPtrSm1Is(status, parent);
  children_.insert(name, child);
  return child;
}

Pondo::Ptr<EntityPtrSm1> SliceSm0::childSmEntityPtrBridgingStormControlStatusPtrConstDel(
    const Pondo::String& name) {
  std::optional<Pondo::Ptr<EntityPtrSm1>> removed = children_.take(name);
  return removed ? std::move(*removed) : nullptr;
}

void SliceSm0::childSmEntityPtrBridgingStormControlStatusPtrConstDelAll() { children_.clear(); }

void SliceSm0::doInitializeTask() {
  if (synchronous() || !parent_) return;
  task0Is(parent_->scheduler(), parent_->priority(), sliceTaskName);
}

Pondo::Ptr<Velo::Task> SliceSm0::task0Is(const Pondo::Ptr<Velo::TaskScheduler>& scheduler,
                                         Velo::TaskPriority priority, const Pondo::String& name) {
  if (taskIs(task0_, task0Subscriber_, scheduler, priority, name)) doInputScan0();
  return task0_;
}

Pondo::Ptr<Velo::Task> SliceSm0::task0Del() {
  Pondo::Ptr<Velo::Task> task = std::move(task0_);
  task0Subscriber_.unsubscribe();
  return task;
}

void SliceSm0::doInputScan() {
  if (!initialized()) return;
  SM_TRACE(traceHandle(), 9, "doInputScan", "SliceSm0", "{}", "");
  if (!synchronous() && task0_ && task0_->taskScheduler()) {
    task0_->scheduleTask();
    return;
  }
  doInputScan0();
}

bool SliceSm0::shouldYield0() const { return task0_ && !inReactor() && task0_->taskShouldYield(); }

bool SliceSm0::inTask0() const { return task0_ && task0_->taskCurrentlyRunning(); }

bool SliceSm0::inputScanComplete0() const { return scanComplete(inputScanState0_, initialScanDone()); }

void SliceSm0::yieldScan(const char* label, U32 handled, U32 total, const Pondo::String& bookmark) {
  SM_TRACE(traceHandle(), 8, "doInputScan0", "SliceSm0",
           "{} {} yielding after {} iterations ({} total items)", "", label, handled, total);
  inputScanState0_ = InputScanState::yielded;
  inputScanBookmark0_ = bookmark;
  if (!task0_) return;
  task0_->taskWorkCountInc(handled);
  task0_->taskWorkPendingIs(total);
  task0_->scheduleTask();
}

void SliceSm0::doInputScan0() {
  if (!initialized()) return;
  const auto& trace = traceHandle();
  SM_TRACE(trace, 9, "doInputScan0", "SliceSm0", "{}", "");
  const InputScanState entry = inputScanState0_;
  SM_TRACE(trace, 9, "doInputScan0", "SliceSm0", " scan complete: {} resumed: {} scan: {}",
           inputScanComplete0(), entry == InputScanState::yielded,
           parent_ && parent_->inputSmScanState() && parent_->inputSmScanState()->statusStreamScan());
  if (entry == InputScanState::complete) return;
  if (entry == InputScanState::initialComplete && !initialScanDone()) return;
  PONDO_ASSERT_MSG(en_, enMissing);

  auto it = entry == InputScanState::yielded ? en_->entityPtrIteratorConst(inputScanBookmark0_)
                                             : en_->entityPtrIteratorConst();
  U32 handled = 0;
  while (!it.atEnd()) {
    const Pondo::String& name = it.key();  // the iterator's own copy, stable until ++it
    handleEntityPtr0(name);
    if (const Pondo::Ptr<EntityPtrSm1>* present = children_.find(name)) {
      const Pondo::Ptr<EntityPtrSm1> child = *present;
      child->doInputScan0();
      if (!child->inputScanComplete0()) {
        yieldScan("child", handled, en_->entityCount(), name);  // resumes this child
        return;
      }
    }
    ++handled;
    const bool yield = shouldYield0();
    const U32 total = en_->entityCount();
    ++it;
    if (!yield || it.atEnd()) continue;
    yieldScan("", handled, total, it.key());
    return;
  }

  std::string label = "SliceSm0";
  if (initialScanDone()) {
    inputScanState0_ = InputScanState::complete;
    task0Del();
  } else {
    inputScanState0_ = InputScanState::initialComplete;
    label += " initial";
  }
  if (parent_ && parent_->inputSmScanState()) parent_->inputSmScanState()->statusStreamScanIs(true);
  SM_TRACE(trace, 9, "doInputScan0", "SliceSm0", "{} scan, and parent scan, complete.", label);
}

void SliceSm0::doDeleteAll() {
  SM_TRACE(traceHandle(), 9, "doDeleteAll", "SliceSm0", "{}", "");
  for (auto it = children_.begin(); !it.atEnd(); ++it) {
    const Pondo::Ptr<EntityPtrSm1> child = it.value();
    child->doDeleteAll();
    child->parentIs(nullptr);
    children_.remove(child->smKey());
  }
}

void SliceSm0::onChildEvent0(const Pondo::String& entityName, const Pondo::String& intfName,
                             const IntfStatusOpt& intfStatusOpt) {
  if (parent_) parent_->eventToStatusStream(entityName, intfName, intfStatusOpt);
}

}  // namespace KrelCode::StormControlIfTableSm

// ---- the machine ------------------------------------------------------------------------

Pondo::Ptr<StormControlIfTableSm> StormControlIfTableSm::StormControlIfTableSmIs(
    const Pondo::Ptr<StormControlMib>& mib, const Pondo::Ptr<const Qel::Dir>& slice,
    const Pondo::Ptr<const IntfSnmp::IfMib>& ifMib, const Ostra::SmControl& krelControl) {
  auto machine = Pondo::make<StormControlIfTableSm>(mib, slice, ifMib, krelControl);
  machine->hasNotificationActiveIs(true);
  return machine;
}

Pondo::Ptr<StormControlIfTableSm> stormControlIfTableSmFactory(
    const Pondo::Ptr<StormControlMib>& mib, const Pondo::Ptr<const Qel::Dir>& slice,
    const Pondo::Ptr<const IntfSnmp::IfMib>& ifMib, const Ostra::SmControl& krelControl) {
  return StormControlIfTableSm::StormControlIfTableSmIs(mib, slice, ifMib, krelControl);
}

StormControlIfTableSm::StormControlIfTableSm(const Pondo::Ptr<StormControlMib>& mib,
                                             const Pondo::Ptr<const Qel::Dir>& slice,
                                             const Pondo::Ptr<const IntfSnmp::IfMib>& ifMib,
                                             const Ostra::SmControl& krelControl)
    : mib_(mib), slice_(slice), ifMib_(ifMib), krelControl_(krelControl) {
  try {
    handleInitialized();
  } catch (...) {
    releaseMembers();
    throw;
  }
}

StormControlIfTableSm::~StormControlIfTableSm() { releaseMembers(); }

void StormControlIfTableSm::releaseMembers() {
  hasNotificationActiveIs(false);
  qelDoZombieReactors(true);
  inputSmScanStateSubscriber_.unsubscribe();
  outputState_.reset();
  if (Pondo::Ptr<IfMibSm2> child = std::exchange(ifMibSm2_, nullptr)) {
    child->hasNotificationActiveIs(false);
  }
  if (Pondo::Ptr<SliceSm0> child = std::exchange(sliceSm0_, nullptr)) {
    child->hasNotificationActiveIs(false);
  }
  mibStormControlIfTableOutputReconciliationTaskDel();
  traceHandle_.reset();
  krelControl_ = Ostra::SmControl();
  seen_.clear();
  inputSmScanState_.reset();
  ifMib_.reset();
  slice_.reset();
  mib_.reset();
}

const Qel::TypeData* StormControlIfTableSm::typeData() const { return &typeAt(machineIndex); }

bool StormControlIfTableSm::idle() const noexcept {
  if (!ready()) return false;
  return synchronous_ || (inputSmScanState_ && inputSmScanState_->idle());
}

void StormControlIfTableSm::handleInitialized() {
  if (initialized_) return;
  traceHandle_ = krelControl_.traceName().empty()
                     ? defaultTraceHandler
                     : Pondo::Platform::getDebugHandler(krelControl_.traceName(), false);
  const auto& trace = *traceHandle_;
  SM_TRACE(trace, 8, "handleInitialized", "StormControlIfTableSm", "");
  if (krelControl_.synchronous() == Ostra::SmControl::synchronousOn) synchronous_ = true;
  if (krelControl_.synchronous() == Ostra::SmControl::synchronousOff) synchronous_ = false;
  inputSmScanStateIs(InputSmScanState::InputSmScanStateIs());
  outputStateIs();
  if (!synchronous_) {
    if (!krelControl_.scheduler()) {
      krelControl_.schedulerIs(Velo::TaskSchedulerRoot::findOrCreateScheduler());
    }
    mibStormControlIfTableOutputReconciliationTaskIs(krelControl_.scheduler(),
                                                     krelControl_.priority(), reconciliationTaskName);
  }
  PONDO_ASSERT_MSG(mib_, "mib() && \"Pointer SM args cannot be null unless they are marked Optional\"");
  PONDO_ASSERT_MSG(slice_, "slice() && \"Pointer SM args cannot be null unless they are marked Optional\"");
  PONDO_ASSERT_MSG(ifMib_, "ifMib() && \"Pointer SM args cannot be null unless they are marked Optional\"");
  const bool tableHeldRows = !mib_->stormControlIfTable().empty();
  SM_TRACE(trace, 9, "handleInitialized", "StormControlIfTableSm",
           "Reconciling mibStormControlIfTableOutput: {:}", tableHeldRows);
  reconciling_ = tableHeldRows;
  if (reconciling_) seen_.reserve(mib_->stormControlIfTable().count());
  SM_TRACE(trace, 9, "handleInitialized", "StormControlIfTableSm", "create local SMs");
  SM_TRACE(trace, 9, "handleInitialized", "StormControlIfTableSm", "create non-public arg SMs");
  ifMibSm2Is(ifMib_, this);
  sliceSm0Is(slice_, this);
  SM_TRACE(trace, 9, "handleInitialized", "StormControlIfTableSm", "initialized");
  initialized_ = true;
  handleMibStormControlIfTableOutputInputReady();
}

void StormControlIfTableSm::handleInitialScanDone() {
  if (initialScanDone_) return;
  const auto& trace = *traceHandle_;
  if (!inputSmScanState_->ifMibStreamScan()) {
    SM_TRACE(trace, 9, "handleInitialScanDone", "StormControlIfTableSm", " ifMibStream scan is false");
    return;
  }
  if (!inputSmScanState_->statusStreamScan()) {
    SM_TRACE(trace, 9, "handleInitialScanDone", "StormControlIfTableSm", " statusStream scan is false");
    return;
  }
  if (!ifMibSm2_ || !sliceSm0_) {
    SM_TRACE(trace, 9, "handleInitialScanDone", "StormControlIfTableSm",
             "Initial scan yielding for child SM StormControlIfTableSm.");
    return;
  }
  SM_TRACE(trace, 9, "handleInitialScanDone", "StormControlIfTableSm",
           "Initial scan done for child SMs. Now scanning with events triggered.");
  initialScanDone_ = true;
  inputSmScanState_->ifMibStreamScanIs(false);
  inputSmScanState_->statusStreamScanIs(false);
  // The children may be replaced by what their scans publish: hold them for the call.
  if (const Pondo::Ptr<IfMibSm2> child = ifMibSm2_; child && child->initialized()) {
    child->doInputScan();
  }
  if (const Pondo::Ptr<SliceSm0> child = sliceSm0_; child && child->initialized()) {
    child->doInputScan();
  }
  if (inputSmScanState_ && !inputSmScanState_->idle()) inputSmScanState_->idleIs(true);
  handleMibStormControlIfTableOutputInputReady();
}

void StormControlIfTableSm::inputSmScanStateIs(const Pondo::Ptr<InputSmScanState>& state) {
  if (state == inputSmScanState_) return;
  inputSmScanStateSubscriber_.unsubscribe();
  inputSmScanState_ = state;
  if (state) state->publisher()->subscriberAdd(inputSmScanStateSubscriber_, false);
  if (!markAndSweepFlag()) handleMibStormControlIfTableOutputInputReady();
}

Pondo::Ptr<StormControlIfTableSm::InputSmScanState> StormControlIfTableSm::inputSmScanStateDel() {
  inputSmScanStateSubscriber_.unsubscribe();
  return std::move(inputSmScanState_);
}

Pondo::Ptr<StormControlIfTableSm::OutputState> StormControlIfTableSm::outputStateIs() {
  if (!outputState_) outputState_ = KrelCode::StormControlIfTableSm::outputStateFactory();
  return outputState_;
}

Pondo::Ptr<StormControlIfTableSm::OutputState> StormControlIfTableSm::outputStateDel() {
  return std::move(outputState_);
}

Pondo::Ptr<StormControlIfTableSm::IfMibSm2> StormControlIfTableSm::ifMibSm2Is(
    const Pondo::Ptr<const IntfSnmp::IfMib>& ifMib, StormControlIfTableSm* parent) {
  if (ifMibSm2_ && ifMibSm2_->en() == ifMib) {
    ifMibSm2_->parentIs(parent);
    return ifMibSm2_;
  }
  ifMibSm2_ = IfMibSm2::IfMibSm2Is(ifMib, parent);
  return ifMibSm2_;
}

Pondo::Ptr<StormControlIfTableSm::IfMibSm2> StormControlIfTableSm::ifMibSm2Del() {
  Pondo::Ptr<IfMibSm2> child = std::move(ifMibSm2_);
  if (child) child->hasNotificationActiveIs(false);
  return child;
}

Pondo::Ptr<StormControlIfTableSm::SliceSm0> StormControlIfTableSm::sliceSm0Is(
    const Pondo::Ptr<const Qel::Dir>& slice, StormControlIfTableSm* parent) {
  if (sliceSm0_ && sliceSm0_->en() == slice) {
    sliceSm0_->parentIs(parent);
    return sliceSm0_;
  }
  sliceSm0_ = SliceSm0::SliceSm0Is(slice, parent);
  return sliceSm0_;
}

Pondo::Ptr<StormControlIfTableSm::SliceSm0> StormControlIfTableSm::sliceSm0Del() {
  Pondo::Ptr<SliceSm0> child = std::move(sliceSm0_);
  if (child) child->hasNotificationActiveIs(false);
  return child;
}

void StormControlIfTableSm::hasNotificationActiveIs(bool active) {
  if (hasNotificationActive() == active) return;
  nodeFlagSet(Flag::hasNotificationActive, active);
  if (inputSmScanState_) {
    subscriptionIs(inputSmScanStateSubscriber_, inputSmScanState_->publisher(), active);
  }
  if (ifMibSm2_) ifMibSm2_->hasNotificationActiveIs(active);
  if (sliceSm0_) sliceSm0_->hasNotificationActiveIs(active);
  if (reconciliationTask_) {
    subscriptionIs(reconciliationTaskSubscriber_, reconciliationTask_->publisher(), active);
  }
}

void StormControlIfTableSm::qelDoZombieReactors(bool zombie) {
  if (markAndSweepFlag() != zombie) markAndSweepFlagSet(zombie);
}

void StormControlIfTableSm::doDeleteAll() {
  if (const Pondo::Ptr<IfMibSm2> child = ifMibSm2_) child->doDeleteAll();
  if (const Pondo::Ptr<SliceSm0> child = sliceSm0_) child->doDeleteAll();
}

void StormControlIfTableSm::inputSmScanStateDispatch(const Pondo::Change& change) {
  if (markAndSweepFlag()) return;
  if (change.attribute != InputSmScanState::ifMibStreamScanAttr &&
      change.attribute != InputSmScanState::statusStreamScanAttr) {
    return;
  }
  handleMibStormControlIfTableOutputInputReady();
}

void StormControlIfTableSm::mibStormControlIfTableOutputReconciliationTaskDispatch(
    const Pondo::Change& change) {
  if (markAndSweepFlag() || change.attribute != Velo::Task::runAttribute) return;
  const Pondo::Ptr<StormControlIfTableSm> self(this);  // the run may release the last owner
  handleMibStormControlIfTableOutputInputReady();
}

Pondo::Ptr<Velo::Task> StormControlIfTableSm::mibStormControlIfTableOutputReconciliationTaskIs(
    const Pondo::Ptr<Velo::TaskScheduler>& scheduler, Velo::TaskPriority priority,
    const Pondo::String& taskName) {
  if (taskIs(reconciliationTask_, reconciliationTaskSubscriber_, scheduler, priority, taskName)) {
    handleMibStormControlIfTableOutputInputReady();
  }
  return reconciliationTask_;
}

Pondo::Ptr<Velo::Task> StormControlIfTableSm::mibStormControlIfTableOutputReconciliationTaskDel() {
  reconciliationTaskSubscriber_.unsubscribe();
  return std::move(reconciliationTask_);
}

void StormControlIfTableSm::handleMibStormControlIfTableOutputInputReady() {
  if (!initialized_) return;
  const auto& trace = *traceHandle_;
  SM_TRACE(trace, 9, "handleMibStormControlIfTableOutputInputReady", "StormControlIfTableSm", "");
  if (outputState_ && outputState_->mibStormControlIfTableOutputReady()) {
    SM_TRACE(trace, 9, "handleMibStormControlIfTableOutputInputReady", "StormControlIfTableSm",
             " already ready, not reconciling.");
    return;
  }
  if (!inputSmScanState_ || !inputSmScanState_->ifMibStreamScan() ||
      !inputSmScanState_->statusStreamScan()) {
    return;
  }
  if (!initialScanDone_) {
    handleInitialScanDone();
    return;
  }
  SM_TRACE(trace, 9, "handleMibStormControlIfTableOutputInputReady", "StormControlIfTableSm",
           "Input scans for mibStormControlIfTableOutput complete");
  if (reconciling_ && !deletionScan()) return;
  reconciling_ = false;
  seen_.clear();
  if (outputState_) outputState_->mibStormControlIfTableOutputReadyIs(true);
}

bool StormControlIfTableSm::deletionScan() {
  const StormControlMib::Table& table = mib_->stormControlIfTable();
  auto it = useBookmark_ && bookmark_.k0Valid() ? table.iteratorAt(bookmark_.k0()) : table.begin();
  U32 items = 0;
  U32 deletions = 0;
  while (!it.atEnd()) {
    // The scan never comes back behind its cursor, so a key it has passed is not needed in
    // the seen set any more: taking it out here spreads the set's release over the task runs.
    if (!seen_.remove(OutputKey::valid(it->key()))) {
      ++deletions;
      mib_->stormControlIfTableDel(it);
    }
    ++items;
    ++it;
    if (it.atEnd()) break;
    const bool goOn = synchronous_ || !reconciliationTask_ ||
                      (reconciliationTask_->taskCurrentlyRunning() &&
                       !reconciliationTask_->taskShouldYield());
    if (goOn) continue;
    bookmark_ = OutputKey::valid(it->key());
    useBookmark_ = true;
    SM_TRACE(*traceHandle_, 9, "handleMibStormControlIfTableOutputInputReady", "StormControlIfTableSm",
             "Yielding in reconciliation processing after processing {} items, including {} "
             "deletions .",
             items, deletions);
    reconciliationTask_->taskWorkCountInc(items);
    reconciliationTask_->scheduleTask();
    return false;
  }
  SM_TRACE(*traceHandle_, 9, "handleMibStormControlIfTableOutputInputReady", "StormControlIfTableSm",
           "Deletion scan for reconciliation is done, last task run processed {} items, deleting "
           "{} items.",
           items, deletions);
  if (reconciliationTask_) {
    reconciliationTask_->taskWorkCountInc(items);
    mibStormControlIfTableOutputReconciliationTaskDel();
  }
  bookmark_ = OutputKey();
  useBookmark_ = false;
  return true;
}

// ---- join pipeline ----------------------------------------------------------------------

void StormControlIfTableSm::eventToIfMibStream(Lumo::IntfId intfId, const U32Optional& ifIndexOpt) {
  if (!initialScanDone_) return;
  const auto& trace = *traceHandle_;
  SM_TRACE(trace, 7, "eventToIfMibStream", "StormControlIfTableSm",
           "ifMibStream = from( ifMib.ifIndexByIntfId[] ): intfId={} ifIndexOpt={}",
           krelPrint(intfId), krelPrint(ifIndexOpt));
  if (!ifIndexOpt) {
    SM_TRACE(trace, 6, "eventToIfMibStream", "StormControlIfTableSm",
             "filter( ifIndexOpt ) failed, terminating pipeline");
    return;
  }
  SM_TRACE(trace, 6, "eventToIfMibStream", "StormControlIfTableSm",
           " foreach( slice.entityPtr ) flattening {} elements", slice_->entityCount());
  for (auto it = slice_->entityPtrIteratorConst(); !it.atEnd(); ++it) {
    SM_TRACE(trace, 9, "eventToIfMibStream", "StormControlIfTableSm", "Flattening element: {}",
             krelPrint(it.key()));
    const Status* status = asStatus(it.value().get());
    if (!status) {
      SM_TRACE(trace, 1, "eventToIfMibStream", "StormControlIfTableSm",
               "dynamic cast to Bridging::StormControl::Status::PtrConst from "
               "Qel::Entity::PtrConst failed");
      continue;
    }
    // An entry with a null value is present: its rows refer to no status and read 0.
    const IntfStatusPtr* intfStatus = status->intfStatus().find(intfId.stringValue());
    if (!intfStatus) {
      SM_TRACE(trace, 6, "eventToIfMibStream", "StormControlIfTableSm",
               "filter( intfStatusOpt ) failed, terminating pipeline");
      continue;
    }
    flatten(ifIndexOpt.value(), IntfStatusOpt(*intfStatus), "eventToIfMibStream");
  }
}

void StormControlIfTableSm::eventToStatusStream(const Pondo::String& /*entityName*/,
                                                const Pondo::String& intfName,
                                                const IntfStatusOpt& intfStatusOpt) {
  if (!initialScanDone_) return;
  const auto& trace = *traceHandle_;
  SM_TRACE(trace, 7, "eventToStatusStream", "StormControlIfTableSm",
           "statusStream = from( slice.entityPtr< Status >[].intfStatus[] ): intfId={} "
           "intfStatusOpt={}",
           krelPrint(intfName), krelPrint(intfStatusOpt));
  Lumo::IntfId intfId;
  intfId.handleInitialized(intfName);
  const U32Optional ifIndexOpt = ifMib_->ifIndexByIntfId(intfId);
  if (!ifIndexOpt) {
    SM_TRACE(trace, 6, "eventToStatusStream", "StormControlIfTableSm",
             "filter( ifIndexOpt ) failed, terminating pipeline");
    return;
  }
  flatten(ifIndexOpt.value(), intfStatusOpt, "eventToStatusStream");
}

void StormControlIfTableSm::flatten(U32 ifIndex, const IntfStatusOpt& intfStatusOpt,
                                    const char* function) {
  static constexpr StormControlTCType classes[] = {
      StormControlTCType::all, StormControlTCType::broadcast, StormControlTCType::multicast,
      StormControlTCType::unknownUnicast};
  const auto& trace = *traceHandle_;
  SM_TRACE(trace, 6, function, "StormControlIfTableSm",
           " foreach( [ TCType::all(), TCType::broadcast(), TCType::multicast(), "
           "TCType::unknownUnicast() ] ) flattening {} elements",
           U64(std::size(classes)));
  for (StormControlTCType trafficClass : classes) {
    SM_TRACE(trace, 9, function, "StormControlIfTableSm", "Flattening element: {}",
             krelPrint(trafficClass));
    into(Key(ifIndex, trafficClass), intfStatusOpt, function);
  }
}

void StormControlIfTableSm::into(const Key& key, const IntfStatusOpt& intfStatusOpt,
                                 const char* function) {
  if (reconciling_) seen_.insert(OutputKey::valid(key));
  const auto& trace = *traceHandle_;
  if (!intfStatusOpt) {
    SM_TRACE(trace, 7, function, "StormControlIfTableSm",
             "into( mib.stormControlIfTable[ key ] ): deleting k1={}", key);
    mib_->stormControlIfTableDel(key);
    return;
  }
  const IntfStatusPtr& status = intfStatusOpt.value();
  SM_TRACE(trace, 7, function, "StormControlIfTableSm",
           "into( mib.stormControlIfTable[ key ] ): inserting k1={}, value={}", key,
           krelPrint(KrelCode::OutputElement{key, status}));
  StormControlIfTableEntry* row = mib_->stormControlIfTable(key);
  if (row && row->status() == status) return;  // `Is` would confirm the row and change nothing
  if (row) mib_->stormControlIfTableDel(*row);
  mib_->stormControlIfTableIs(key, status);
}

// ---- type module ------------------------------------------------------------------------

namespace {

using Machine = StormControlIfTableSm;
using Sm::EntityPtrSm1;
using Sm::IfMibSm2;
using Sm::InputSmScanState;
using Sm::OutputState;
using Sm::SliceSm0;

using Qel::Reg::ctorArg;
using Qel::Reg::pointer;

void registerInputSmScanState(Qel::Module& m) {
  using T = InputSmScanState;
  Qel::TypeData& t = m.typeIs("StormControlSnmp::KrelCode::StormControlIfTableSm::InputSmScanState",
                              Qel::TypeKind::node);
  t.attributeIs(Qel::Reg::handler<T>(130, "handleIdle", &T::handleIdle));
  t.attributeIs(Qel::Reg::settable<T>(131, "ifMibStreamScan", &T::ifMibStreamScan, &T::ifMibStreamScanIs));
  t.attributeIs(Qel::Reg::settable<T>(132, "statusStreamScan", &T::statusStreamScan, &T::statusStreamScanIs));
  t.attributeIs(Qel::Reg::settable<T>(133, "idle", &T::idle, &T::idleIs));
  Qel::TypeOps ops;
  ops.construct = [](const Qel::Args&) { return Qel::Value(T::InputSmScanStateIs()); };
  t.opsIs(std::move(ops));
}

void registerOutputState(Qel::Module& m) {
  using T = OutputState;
  Qel::TypeData& t = m.typeIs("StormControlSnmp::KrelCode::StormControlIfTableSm::OutputState",
                              Qel::TypeKind::node);
  t.attributeIs(Qel::Reg::settable<T>(130, "mibStormControlIfTableOutputReady",
                        &T::mibStormControlIfTableOutputReady,
                        &T::mibStormControlIfTableOutputReadyIs));
  t.attributeIs(Qel::Reg::settable<T>(131, "ready", &T::ready, &T::readyIs));
  t.attributeIs(Qel::Reg::handler<T>(132, "handleReady", &T::handleReady));
  Qel::TypeOps ops;
  ops.construct = [](const Qel::Args&) { return Qel::Value(T::OutputStateIs()); };
  t.opsIs(std::move(ops));
}

template <class T>
Qel::Attribute doDeleteAllAttr(U16 number) {
  return Qel::Reg::operation<T>(number, "doDeleteAll", [](T& sm) { sm.doDeleteAll(); });
}

void registerEntityPtrSm1(Qel::Module& m) {
  using T = EntityPtrSm1;
  Qel::TypeData& t = m.typeIs("StormControlSnmp::KrelCode::StormControlIfTableSm::EntityPtrSm1",
                              Qel::TypeKind::node);
  t.attributeIs(Qel::Reg::field<T>(258, "en", &T::en, true));
  t.attributeIs(ctorArg(Qel::Reg::settable<T>(259, "parent", &T::parent, &T::parentIs)));
  t.attributeIs(Qel::Reg::operation<T>(260, "root", [](T& sm) { return sm.root(); }));
  t.attributeIs(Qel::Reg::computed<T>(262, "smKey", &T::smKey));
  t.attributeIs(doDeleteAllAttr<T>(263));
  t.attributeIs(Qel::Reg::operation<T>(264, "shouldYield0", &T::shouldYield0));
  t.attributeIs(Qel::Reg::operation<T>(265, "inTask0", &T::inTask0));
  t.attributeIs(Qel::Reg::settable<T>(266, "inputScanBookmark0", &T::inputScanBookmark0,
                                      &T::inputScanBookmark0Is));
  t.attributeIs(Qel::Reg::settable<T>(267, "inputScanState0", &T::inputScanState0,
                                      &T::inputScanState0Is));
  t.attributeIs(Qel::Reg::operation<T>(268, "inputScanComplete0", &T::inputScanComplete0));
  t.attributeIs(Qel::Reg::settable<T>(269, "versionIntfStatus", &T::versionIntfStatus,
                                      &T::versionIntfStatusIs));
  t.attributeIs(Qel::Reg::invocable<T>(270, "handleIntfStatus0", Qel::AttrKind::handler,
      [](T& sm, const Qel::Args& a) { sm.handleIntfStatus0(Qel::arg<Pondo::String>(a, 0)); }));
  t.attributeIs(Qel::Reg::invocable<T>(271, "handleIntfStatus0Reactor", Qel::AttrKind::handler,
      [](T& sm, const Qel::Args& a) { sm.handleIntfStatus0Reactor(Qel::arg<Pondo::String>(a, 0)); }));
  t.attributeIs(Qel::Reg::operation<T>(272, "doInputScan0", [](T& sm) { sm.doInputScan0(); }));
}

void registerIfMibSm2(Qel::Module& m) {
  using T = IfMibSm2;
  Qel::TypeData& t = m.typeIs("StormControlSnmp::KrelCode::StormControlIfTableSm::IfMibSm2",
                              Qel::TypeKind::node);
  t.attributeIs(Qel::Reg::field<T>(258, "en", &T::en, true));
  t.attributeIs(ctorArg(Qel::Reg::settable<T>(259, "parent", &T::parent, &T::parentIs)));
  t.attributeIs(Qel::Reg::operation<T>(260, "root", [](T& sm) { return sm.root(); }));
  t.attributeIs(doDeleteAllAttr<T>(262));
  t.attributeIs(Qel::Reg::operation<T>(263, "shouldYield1", &T::shouldYield1));
  t.attributeIs(Qel::Reg::operation<T>(264, "inTask1", &T::inTask1));
  t.attributeIs(Qel::Reg::settable<T>(265, "inputScanBookmark1", &T::inputScanBookmark1,
                                      &T::inputScanBookmark1Is));
  t.attributeIs(Qel::Reg::settable<T>(266, "inputScanState1", &T::inputScanState1,
                                      &T::inputScanState1Is));
  t.attributeIs(Qel::Reg::operation<T>(267, "inputScanComplete1", &T::inputScanComplete1));
  t.attributeIs(Qel::Reg::settable<T>(268, "versionIfIndexByIntfId", &T::versionIfIndexByIntfId,
                                      &T::versionIfIndexByIntfIdIs));
  t.attributeIs(Qel::Reg::invocable<T>(269, "handleIfIndexByIntfId1", Qel::AttrKind::handler,
      [](T& sm, const Qel::Args& a) { sm.handleIfIndexByIntfId1(Qel::arg<Lumo::IntfId>(a, 0)); }));
  t.attributeIs(Qel::Reg::invocable<T>(270, "handleIfIndexByIntfId1Reactor", Qel::AttrKind::handler,
      [](T& sm, const Qel::Args& a) {
        sm.handleIfIndexByIntfId1Reactor(Qel::arg<Lumo::IntfId>(a, 0));
      }));
  t.attributeIs(Qel::Reg::operation<T>(271, "doInputScan1", [](T& sm) { sm.doInputScan1(); }));
  t.attributeIs(pointer<T>(272, "task1", &T::task1,
      [](T& sm, const Qel::Args& a) {
        sm.task1Is(Qel::arg<Pondo::Ptr<Velo::TaskScheduler>>(a, 0),
                   Qel::arg<Velo::TaskPriority>(a, 1), Qel::arg<Pondo::String>(a, 2));
      },
      [](T& sm) { return sm.task1Del(); }));
}

void registerSliceSm0(Qel::Module& m) {
  using T = SliceSm0;
  Qel::TypeData& t = m.typeIs("StormControlSnmp::KrelCode::StormControlIfTableSm::SliceSm0",
                              Qel::TypeKind::node);
  t.attributeIs(Qel::Reg::field<T>(258, "en", &T::en, true));
  t.attributeIs(ctorArg(Qel::Reg::settable<T>(259, "parent", &T::parent, &T::parentIs)));
  t.attributeIs(Qel::Reg::operation<T>(260, "root", [](T& sm) { return sm.root(); }));
  t.attributeIs(doDeleteAllAttr<T>(263));
  t.attributeIs(Qel::Reg::operation<T>(264, "shouldYield0", &T::shouldYield0));
  t.attributeIs(Qel::Reg::operation<T>(265, "inTask0", &T::inTask0));
  t.attributeIs(Qel::Reg::settable<T>(266, "inputScanBookmark0", &T::inputScanBookmark0,
                                      &T::inputScanBookmark0Is));
  t.attributeIs(Qel::Reg::settable<T>(267, "inputScanState0", &T::inputScanState0,
                                      &T::inputScanState0Is));
  t.attributeIs(Qel::Reg::operation<T>(268, "inputScanComplete0", &T::inputScanComplete0));
  Qel::Attribute children(269, "childSmEntityPtrBridgingStormControlStatusPtrConst",
                          Qel::AttrKind::collection);
  children.set = [](void* obj, const Qel::Args& a) {
    auto& sm = *static_cast<T*>(obj);
    sm.childSmEntityPtrBridgingStormControlStatusPtrConstIs(
        Qel::arg<EntityPtrSm1::StatusPtrConst>(a, 0), &sm);
  };
  children.del = [](void* obj, const Qel::Args& a) {
    auto removed = static_cast<T*>(obj)->childSmEntityPtrBridgingStormControlStatusPtrConstDel(
        Qel::arg<Pondo::String>(a, 0));
    return removed ? Qel::Value(removed) : Qel::Value();
  };
  children.collection.count = [](const void* obj) {
    return static_cast<const T*>(obj)->childSmEntityPtrBridgingStormControlStatusPtrConst().count();
  };
  children.collection.find = [](const void* obj, const Qel::Value& key) {
    const auto* child = static_cast<const T*>(obj)
                            ->childSmEntityPtrBridgingStormControlStatusPtrConst()
                            .find(std::any_cast<Pondo::String>(key));
    return child ? Qel::Value(*child) : Qel::Value();
  };
  t.attributeIs(std::move(children));
  t.attributeIs(Qel::Reg::invocable<T>(270, "handleEntityPtr0", Qel::AttrKind::handler,
      [](T& sm, const Qel::Args& a) { sm.handleEntityPtr0(Qel::arg<Pondo::String>(a, 0)); }));
  t.attributeIs(Qel::Reg::invocable<T>(271, "handleEntityPtr0Reactor", Qel::AttrKind::handler,
      [](T& sm, const Qel::Args& a) { sm.handleEntityPtr0Reactor(Qel::arg<Pondo::String>(a, 0)); }));
  t.attributeIs(Qel::Reg::operation<T>(272, "doInputScan0", [](T& sm) { sm.doInputScan0(); }));
  t.attributeIs(pointer<T>(273, "task0", &T::task0,
      [](T& sm, const Qel::Args& a) {
        sm.task0Is(Qel::arg<Pondo::Ptr<Velo::TaskScheduler>>(a, 0),
                   Qel::arg<Velo::TaskPriority>(a, 1), Qel::arg<Pondo::String>(a, 2));
      },
      [](T& sm) { return sm.task0Del(); }));
}

void registerOutputKey(Qel::Module& m) {
  Qel::TypeData& t = m.typeIs(
      "StormControlSnmp::StormControlIfTableSm::MibStormControlIfTableOutputKeyType",
      Qel::TypeKind::value);
  t.attributeIs(Qel::Reg::field<OutputKey>(2, "k0", &OutputKey::k0, true));
  t.attributeIs(Qel::Reg::field<OutputKey>(3, "k0Valid", &OutputKey::k0Valid));
  t.attributeIs(Qel::Reg::operation<OutputKey>(4, "validate", &OutputKey::validate));
  Qel::TypeOps ops = Qel::Reg::valueOps<OutputKey>();
  ops.construct = [](const Qel::Args& a) { return Qel::Value(OutputKey(Qel::arg<Key>(a, 0))); };
  ops.isNonDefault = [](const void* v) { return static_cast<const OutputKey*>(v)->isNonDefault(); };
  t.opsIs(std::move(ops));
}

void registerMachine(Qel::Module& m) {
  using T = Machine;
  Qel::TypeData& t = m.typeIs("StormControlSnmp::StormControlIfTableSm", Qel::TypeKind::node);
  t.attributeIs(Qel::Reg::field<T>(130, "mib", &T::mib, true));
  t.attributeIs(Qel::Reg::field<T>(131, "slice", &T::slice, true));
  t.attributeIs(Qel::Reg::field<T>(132, "ifMib", &T::ifMib, true));
  t.attributeIs(pointer<T>(133, "inputSmScanState", &T::inputSmScanState,
      [](T& sm, const Qel::Args& a) {
        sm.inputSmScanStateIs(Qel::arg<Pondo::Ptr<InputSmScanState>>(a, 0));
      },
      [](T& sm) { return sm.inputSmScanStateDel(); }));
  t.attributeIs(pointer<T>(134, "outputState", &T::outputState,
      [](T& sm, const Qel::Args&) { sm.outputStateIs(); },
      [](T& sm) { return sm.outputStateDel(); }));
  t.attributeIs(pointer<T>(135, "ifMibSm2", &T::ifMibSm2,
      [](T& sm, const Qel::Args& a) {
        sm.ifMibSm2Is(Qel::arg<Pondo::Ptr<const IntfSnmp::IfMib>>(a, 0), &sm);
      },
      [](T& sm) { return sm.ifMibSm2Del(); }));
  t.attributeIs(pointer<T>(136, "sliceSm0", &T::sliceSm0,
      [](T& sm, const Qel::Args& a) { sm.sliceSm0Is(Qel::arg<Pondo::Ptr<const Qel::Dir>>(a, 0), &sm); },
      [](T& sm) { return sm.sliceSm0Del(); }));
  t.attributeIs(Qel::Reg::handler<T>(137, "handleMibStormControlIfTableOutputInputReady",
                                     &T::handleMibStormControlIfTableOutputInputReady));
  Qel::Attribute seen(138, "mibStormControlIfTableOutputSeen", Qel::AttrKind::collection);
  seen.set = [](void* obj, const Qel::Args& a) {
    if (!Qel::arg<bool>(a, 1)) {
      throw Qel::RangeException("a seen key added with the value false: only true is accepted");
    }
    static_cast<T*>(obj)->mibStormControlIfTableOutputSeenIs(Qel::arg<OutputKey>(a, 0));
  };
  seen.del = [](void* obj, const Qel::Args& a) {
    static_cast<T*>(obj)->mibStormControlIfTableOutputSeenDel(Qel::arg<OutputKey>(a, 0));
    return Qel::Value();
  };
  seen.collection.contains = [](const void* obj, const Qel::Value& key) {
    return static_cast<const T*>(obj)->mibStormControlIfTableOutputSeen().contains(
        std::any_cast<OutputKey>(key));
  };
  seen.collection.count = [](const void* obj) {
    return static_cast<const T*>(obj)->mibStormControlIfTableOutputSeen().count();
  };
  seen.collection.version = [](const void* obj) {
    return static_cast<const T*>(obj)->mibStormControlIfTableOutputSeen().version();
  };
  t.attributeIs(std::move(seen));
  t.attributeIs(pointer<T>(139, "mibStormControlIfTableOutputReconciliationTask",
      &T::mibStormControlIfTableOutputReconciliationTask,
      [](T& sm, const Qel::Args& a) {
        sm.mibStormControlIfTableOutputReconciliationTaskIs(
            Qel::arg<Pondo::Ptr<Velo::TaskScheduler>>(a, 0), Qel::arg<Velo::TaskPriority>(a, 1),
            Qel::arg<Pondo::String>(a, 2));
      },
      [](T& sm) { return sm.mibStormControlIfTableOutputReconciliationTaskDel(); }));
  t.attributeIs(Qel::Reg::computed<T>(140, "mibStormControlIfTableOutputBookmark",
                                      &T::mibStormControlIfTableOutputBookmark));
  t.attributeIs(Qel::Reg::computed<T>(141, "mibStormControlIfTableOutputReconciling",
                                      &T::mibStormControlIfTableOutputReconciling));
  t.attributeIs(Qel::Reg::computed<T>(142, "mibStormControlIfTableOutputUseBookmark",
                                      &T::mibStormControlIfTableOutputUseBookmark));
  t.attributeIs(Qel::Reg::operation<T>(143, "doDeleteAll", [](T& sm) { sm.doDeleteAll(); }));
  t.attributeIs(ctorArg(Qel::Reg::computed<T>(144, "krelControl",
                                              [](const T& sm) { return sm.krelControl(); })));
  t.attributeIs(Qel::Reg::computed<T>(146, "synchronous", &T::synchronous));
  t.attributeIs(Qel::Reg::operation<T>(147, "defaultSynchronous", &T::defaultSynchronous));
  t.attributeIs(Qel::Reg::settable<T>(148, "scheduler", &T::scheduler, &T::schedulerIs));
  t.attributeIs(Qel::Reg::settable<T>(149, "priority", &T::priority, &T::priorityIs));
  t.attributeIs(Qel::Reg::operation<T>(151, "idle", &T::idle));
  t.attributeIs(Qel::Reg::operation<T>(152, "ready", &T::ready));
  t.attributeIs(Qel::Reg::computed<T>(153, "initialScanDone", &T::initialScanDone));
  t.attributeIs(Qel::Reg::handler<T>(154, "handleInitialScanDone", &T::handleInitialScanDone));
  t.attributeIs(Qel::Reg::computed<T>(155, "initialized", &T::initialized));
  t.attributeIs(Qel::Reg::handler<T>(156, "handleInitialized", &T::handleInitialized));
  Qel::TypeOps ops;
  ops.construct = [](const Qel::Args& a) {
    return Qel::Value(T::StormControlIfTableSmIs(
        Qel::arg<Pondo::Ptr<StormControlMib>>(a, 0), Qel::arg<Pondo::Ptr<const Qel::Dir>>(a, 1),
        Qel::arg<Pondo::Ptr<const IntfSnmp::IfMib>>(a, 2), Qel::arg<Ostra::SmControl>(a, 3)));
  };
  t.opsIs(std::move(ops));
}

void build(Qel::Module& module) {
  registerInputSmScanState(module);
  registerOutputState(module);
  registerEntityPtrSm1(module);
  registerIfMibSm2(module);
  registerSliceSm0(module);
  registerOutputKey(module);
  registerMachine(module);
}

Qel::Module& moduleDefinition() {
  return Qel::Reg::moduleDefinition<build>("StormControlIfTableSm");
}

const bool registered = Qel::Reg::registeredAtLoad(moduleDefinition());

}  // namespace

const Qel::Module& stormControlIfTableSmModule() { return moduleDefinition(); }

}  // namespace StormControlSnmp

auto fmt::formatter<StormControlSnmp::StormControlIfTableKey>::format(
    const StormControlSnmp::StormControlIfTableKey& key, fmt::format_context& ctx) const
    -> decltype(ctx.out()) {
  std::ostringstream out;
  out << key;
  const std::string text = out.str();
  return fmt::formatter<fmt::string_view>::format(fmt::string_view(text), ctx);
}
