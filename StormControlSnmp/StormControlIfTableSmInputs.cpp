// StormControlSnmp/StormControlIfTableSmInputs.cpp — what each input machine scans and emits.
#include "StormControlSnmp/StormControlIfTableSmInputs.h"

#include <utility>

#include "Ostra/InReactor.h"
#include "Qel/Exception.h"
#include "StormControlSnmp/StormControlIfTableSmModule.h"

namespace StormControlSnmp::KrelCode::StormControlIfTableSm {

namespace {

using Bridging::StormControl::Status;

constexpr const char* ifMibTaskName =
    "StormControlSnmp::StormControlIfTableSm-IfMibSm2InputScanTask1";
constexpr const char* sliceTaskName =
    "StormControlSnmp::StormControlIfTableSm-SliceSm0InputScanTask0";

const Pondo::Platform::DebugHandler& traceHandleOf(const Root* root) {
  return root ? root->traceHandle() : *defaultTraceHandler();
}

// The registered names of the scan steps, which their traces carry.
constexpr const char* ifMibScanStep = "doInputScan1";
constexpr const char* statusScanStep = "doInputScan0";

/// " initial" when a finished scan was the initial one, for the completion traces.
const char* initialLabel(bool initial) { return initial ? " initial" : ""; }

}  // namespace

// ---- interface-index input ----------------------------------------------------------------

Pondo::Ptr<IfMibSm2> IfMibSm2::IfMibSm2Is(const IfMibPtrConst& ifMib, Root* parent) {
  auto machine = Pondo::make<IfMibSm2>(ifMib, parent);
  machine->hasNotificationActiveIs(true);
  return machine;
}

IfMibSm2::IfMibSm2(const IfMibPtrConst& ifMib, Root* parent) : InputMachine(ifMib, parent) {
  start();
}

const Qel::TypeData* IfMibSm2::typeData() const { return &smType(SmType::ifMibSm2); }

const Pondo::Platform::DebugHandler& IfMibSm2::traceHandle() const {
  return traceHandleOf(parent());
}

void IfMibSm2::onInputChange(const Pondo::Change& change) {
  if (change.attribute != IntfSnmp::IfMib::ifIndexByIntfIdAttr) return;
  const Lumo::IntfId intfId = *static_cast<const Lumo::IntfId*>(change.key);
  handleIfIndexByIntfId1Reactor(intfId);
}

void IfMibSm2::handleIfIndexByIntfId1Reactor(const Lumo::IntfId& intfId) {
  Ostra::Gen::InReactor reactor(this);
  handleIfIndexByIntfId1(intfId);
}

void IfMibSm2::handleIfIndexByIntfId1(const Lumo::IntfId& intfId) {
  if (!initialized()) return;
  SM_TRACE(8, "k: {}", krelPrint(intfId));
  inputVersionIs(en()->ifIndexByIntfId().version());
  const U32Optional ifIndexOpt = en()->ifIndexByIntfId(intfId);
  if (Root* r = parent()) r->eventToIfMibStream(intfId, ifIndexOpt);
}

void IfMibSm2::doInitializeTask() { taskFromParent(ifMibTaskName); }

void IfMibSm2::doInputScan() {
  if (!initialized()) return;
  SM_TRACE(9, "{}", "");
  scanInTaskOrNow();
}

void IfMibSm2::scanEntered(Ostra::Gen::InputScanState entry) {
  SM_TRACE_FROM(ifMibScanStep, 9, "{}", "");
  SM_TRACE_FROM(
      ifMibScanStep, 9, " scan complete: {} resumed: {} scan: {}", inputScanComplete(),
      entry == Ostra::Gen::InputScanState::yielded,
      root() && root()->inputSmScanState() && root()->inputSmScanState()->ifMibStreamScan());
}

IfMibSm2::Walked IfMibSm2::scanFrom(bool resume) {
  const auto& map = en()->ifIndexByIntfId();
  const Walked walked =
      walk(resume ? map.iteratorFrom(inputScanBookmark()) : map.begin(),
           [this](const Lumo::IntfId& intfId) { return handleIfIndexByIntfId1(intfId), true; });
  inputVersionIs(map.version());
  return walked;
}

U64 IfMibSm2::scanCount() const { return en()->ifIndexByIntfId().count(); }

void IfMibSm2::scanStopped(const Walked& walked, U64 total) {
  SM_TRACE_FROM(ifMibScanStep, 8, "{} {} yielding after {} iterations ({} total items)", "", "",
                walked.visited, total);
}

void IfMibSm2::scanEnded(bool initial, const Walked& /*walked*/) {
  if (root() && root()->inputSmScanState()) root()->inputSmScanState()->ifMibStreamScanIs(true);
  SM_TRACE_FROM(ifMibScanStep, 9, "{}{} scan, and parent scan, complete.", traceComponent,
                initialLabel(initial));
}

void IfMibSm2::doDeleteAll() {
  SM_TRACE(9, "{}", "");
  withdrawAll(
      en()->ifIndexByIntfId(),
      "We missed notifications that happened to ifIndexByIntfId before the enclosing "
      "entity got deleted",
      [this](const Lumo::IntfId& intfId) { parent()->eventToIfMibStream(intfId, U32Optional()); });
}

// ---- status-entity input ------------------------------------------------------------------

Pondo::Ptr<EntityPtrSm1> EntityPtrSm1::EntityPtrSm1Is(const StatusPtrConst& status,
                                                      SliceSm0* parent) {
  auto machine = Pondo::make<EntityPtrSm1>(status, parent);
  machine->hasNotificationActiveIs(true);
  return machine;
}

EntityPtrSm1::EntityPtrSm1(const StatusPtrConst& status, SliceSm0* parent)
    : InputMachine(status, parent) {
  start();
}

const Qel::TypeData* EntityPtrSm1::typeData() const { return &smType(SmType::entityPtrSm1); }

Root* EntityPtrSm1::root() const noexcept { return parent() ? parent()->parent() : nullptr; }

const Pondo::Platform::DebugHandler& EntityPtrSm1::traceHandle() const {
  return traceHandleOf(root());
}

void EntityPtrSm1::inReactorIs(bool inReactor) {
  if (parent()) parent()->inReactorIs(inReactor);
}

bool EntityPtrSm1::inReactor() const { return parent() && parent()->inReactor(); }

Velo::Task* EntityPtrSm1::scanTask() const { return parent() ? parent()->task().get() : nullptr; }

void EntityPtrSm1::onInputChange(const Pondo::Change& change) {
  if (change.attribute != Status::intfStatusAttr) return;
  const Pondo::String intfName = *static_cast<const Pondo::String*>(change.key);
  handleIntfStatus0Reactor(intfName);
}

void EntityPtrSm1::handleIntfStatus0Reactor(const Pondo::String& intfName) {
  Ostra::Gen::InReactor reactor(this);
  handleIntfStatus0(intfName);
}

void EntityPtrSm1::handleIntfStatus0(const Pondo::String& intfName) {
  if (!initialized()) return;
  SM_TRACE(8, "k: {}", krelPrint(intfName));
  inputVersionIs(en()->intfStatus().version());
  // Present means the name is in the collection, whatever its value (a null value included).
  const IntfStatusPtr* status = en()->intfStatus().find(intfName);
  const IntfStatusOpt intfStatusOpt = status ? IntfStatusOpt(*status) : IntfStatusOpt();
  if (Root* r = root()) r->eventToStatusStream(en()->name(), intfName, intfStatusOpt);
}

void EntityPtrSm1::doInputScan() {
  if (!initialized()) return;
  SM_TRACE(9, "{}", krelPrint(smKey()));
  scanStep();
}

void EntityPtrSm1::scanEntered(Ostra::Gen::InputScanState /*entry*/) {
  SM_TRACE_FROM(statusScanStep, 9, "{}", krelPrint(smKey()));
}

EntityPtrSm1::Walked EntityPtrSm1::scanFrom(bool resume) {
  const auto& map = en()->intfStatus();
  const Walked walked =
      walk(resume ? map.iteratorFrom(inputScanBookmark()) : map.begin(),
           [this](const Pondo::String& intfName) { return handleIntfStatus0(intfName), true; });
  inputVersionIs(map.version());
  return walked;
}

U64 EntityPtrSm1::scanCount() const { return en()->intfStatus().count(); }

// The slice machine reports the work and schedules its task.
void EntityPtrSm1::scanStopped(const Walked& walked, U64 total) {
  SM_TRACE_FROM(statusScanStep, 8, "{} {} yielding after {} iterations ({} total items)",
                krelPrint(smKey()), "", walked.visited, total);
}

void EntityPtrSm1::scanEnded(bool initial, const Walked& walked) {
  SM_TRACE_FROM(statusScanStep, 9, "{}{} scan complete. Processed {} children. ", traceComponent,
                initialLabel(initial), walked.visited);
}

void EntityPtrSm1::doDeleteAll() {
  SM_TRACE(9, "{}", "");
  withdrawAll(en()->intfStatus(),
              "We missed notifications that happened to intfStatus before the enclosing entity "
              "got deleted",
              [this](const Pondo::String& intfName) {
                root()->eventToStatusStream(en()->name(), intfName, IntfStatusOpt());
              });
}

// ---- slice input --------------------------------------------------------------------------

Pondo::Ptr<SliceSm0> SliceSm0::SliceSm0Is(const DirPtrConst& slice, Root* parent) {
  auto machine = Pondo::make<SliceSm0>(slice, parent);
  machine->hasNotificationActiveIs(true);
  return machine;
}

SliceSm0::SliceSm0(const DirPtrConst& slice, Root* parent) : InputMachine(slice, parent) {
  start();
}

SliceSm0::~SliceSm0() {
  stop();
  childSmEntityPtrBridgingStormControlStatusPtrConstDelAll();
}

const Qel::TypeData* SliceSm0::typeData() const { return &smType(SmType::sliceSm0); }

const Pondo::Platform::DebugHandler& SliceSm0::traceHandle() const {
  return traceHandleOf(parent());
}

void SliceSm0::hasNotificationActiveIs(bool active) {
  if (hasNotificationActive() == active) return;
  InputMachine::hasNotificationActiveIs(active);
  for (auto it = children_.begin(); !it.atEnd(); ++it) it.value()->hasNotificationActiveIs(active);
}

void SliceSm0::onInputChange(const Pondo::Change& change) {
  if (change.attribute != Qel::Dir::entityPtrAttr) return;
  const Pondo::String name = *static_cast<const Pondo::String*>(change.key);
  handleEntityPtr0Reactor(name);
}

void SliceSm0::handleEntityPtr0Reactor(const Pondo::String& name) {
  Ostra::Gen::InReactor reactor(this);
  handleEntityPtr0(name);
}

void SliceSm0::withdrawChild(const Pondo::Ptr<EntityPtrSm1>& child) {
  child->doDeleteAll();
  child->parentIs(nullptr);
}

void SliceSm0::handleEntityPtr0(const Pondo::String& name) {
  if (!initialized()) return;
  SM_TRACE(8, "k: {}", krelPrint(name));
  const Pondo::Ptr<const Qel::Entity> entity = en()->entityPtr(name);
  const Pondo::Ptr<EntityPtrSm1>* present = children_.find(name);
  const Pondo::Ptr<EntityPtrSm1> child = present ? *present : nullptr;
  if (!entity) {
    if (child) withdrawChild(child);
    childSmEntityPtrBridgingStormControlStatusPtrConstDel(name);
    return;
  }
  const Pondo::Ptr<const Status> status = Pondo::dynamicPtrCast<const Status>(entity);
  if (!status) {
    SM_TRACE(1,
             "dynamic cast to type ::Bridging::StormControl::Status::RawPtrConst from "
             "Qel::Entity::PtrConst failed. ");
    return;
  }
  if (child && child->en() != status) {
    withdrawChild(child);
    childSmEntityPtrBridgingStormControlStatusPtrConstDel(name);
  }
  childSmEntityPtrBridgingStormControlStatusPtrConstIs(status, this);
}

Pondo::Ptr<EntityPtrSm1> SliceSm0::childSmEntityPtrBridgingStormControlStatusPtrConstIs(
    const EntityPtrSm1::StatusPtrConst& status, SliceSm0* parent) {
  if (!status) {
    Qel::throwMutatorArgNullPointerException(
        "en", "StormControlSnmp::KrelCode::StormControlIfTableSm::SliceSm0",
        childSmEntityPtrBridgingStormControlStatusPtrConstAttr);
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

void SliceSm0::doInitializeTask() { taskFromParent(sliceTaskName); }

void SliceSm0::doInputScan() {
  if (!initialized()) return;
  SM_TRACE(9, "{}", "");
  scanInTaskOrNow();
}

void SliceSm0::scanEntered(Ostra::Gen::InputScanState entry) {
  SM_TRACE_FROM(statusScanStep, 9, "{}", "");
  SM_TRACE_FROM(
      statusScanStep, 9, " scan complete: {} resumed: {} scan: {}", inputScanComplete(),
      entry == Ostra::Gen::InputScanState::yielded,
      root() && root()->inputSmScanState() && root()->inputSmScanState()->statusStreamScan());
}

// A child that yields inside this step suspends it on the child's entity, not counted, so that
// the next step handles the entity again and resumes the child.
SliceSm0::Walked SliceSm0::scanFrom(bool resume) {
  return walk(
      resume ? en()->entityPtrIteratorConst(inputScanBookmark()) : en()->entityPtrIteratorConst(),
      [this](const Pondo::String& name) {
        handleEntityPtr0(name);
        const Pondo::Ptr<EntityPtrSm1>* present = children_.find(name);
        if (!present) return true;
        const Pondo::Ptr<EntityPtrSm1> child = *present;
        child->scanStep();
        return child->inputScanComplete();
      });
}

U64 SliceSm0::scanCount() const { return en()->entityCount(); }

void SliceSm0::scanStopped(const Walked& walked, U64 total) {
  SM_TRACE_FROM(statusScanStep, 8, "{} {} yielding after {} iterations ({} total items)", "",
                walked.end == Velo::WalkEnd::refused ? "child" : "", walked.visited, total);
}

void SliceSm0::scanEnded(bool initial, const Walked& /*walked*/) {
  if (root() && root()->inputSmScanState()) root()->inputSmScanState()->statusStreamScanIs(true);
  SM_TRACE_FROM(statusScanStep, 9, "{}{} scan, and parent scan, complete.", traceComponent,
                initialLabel(initial));
}

void SliceSm0::doDeleteAll() {
  SM_TRACE(9, "{}", "");
  for (auto it = children_.begin(); !it.atEnd(); ++it) {
    const Pondo::Ptr<EntityPtrSm1> child = it.value();
    withdrawChild(child);
    children_.remove(child->smKey());
  }
}

}  // namespace StormControlSnmp::KrelCode::StormControlIfTableSm
