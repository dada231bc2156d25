// StormControlSnmp/StormControlIfTableSm.cpp — the table machine: its lifecycle and state
// objects, the join pipeline and the reconciliation of a table that held rows at start.
#include "StormControlSnmp/StormControlIfTableSm.h"

#include <iterator>
#include <typeinfo>
#include <utility>

#include "Pondo/Assert.h"
#include "StormControlSnmp/StormControlIfTableSmInputs.h"
#include "StormControlSnmp/StormControlIfTableSmModule.h"

namespace StormControlSnmp {

namespace {

using Bridging::StormControl::Status;
using Key = StormControlIfTableKey;
using OutputKey = StormControlIfTableSm::MibStormControlIfTableOutputKeyType;
using KrelCode::IntfStatusOpt;
using KrelCode::IntfStatusPtr;
using KrelCode::krelPrint;

// The texts of the creator's preconditions: every input is required.
constexpr const char* mibRequired =
    "mib() && \"Pointer SM args cannot be null unless they are marked Optional\"";
constexpr const char* sliceRequired =
    "slice() && \"Pointer SM args cannot be null unless they are marked Optional\"";
constexpr const char* ifMibRequired =
    "ifMib() && \"Pointer SM args cannot be null unless they are marked Optional\"";

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

}  // namespace

// ---- state objects ----------------------------------------------------------------------

namespace KrelCode::StormControlIfTableSm {

Pondo::Ptr<InputSmScanState> InputSmScanState::InputSmScanStateIs() {
  return Pondo::make<InputSmScanState>();
}

const Qel::TypeData* InputSmScanState::typeData() const {
  return &smType(SmType::inputSmScanState);
}

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

const Qel::TypeData* OutputState::typeData() const { return &smType(SmType::outputState); }

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

const Qel::TypeData* StormControlIfTableSm::typeData() const { return &smType(SmType::machine); }

bool StormControlIfTableSm::idle() const noexcept {
  if (!ready()) return false;
  return synchronous_ || (inputSmScanState_ && inputSmScanState_->idle());
}

void StormControlIfTableSm::handleInitialized() {
  if (initialized_) return;
  traceHandle_ = krelControl_.traceName().empty()
                     ? defaultTraceHandler()
                     : Pondo::Platform::getDebugHandler(krelControl_.traceName(), false);
  SM_TRACE(8, "");
  if (krelControl_.synchronous() == Ostra::SmControl::synchronousOn) synchronous_ = true;
  if (krelControl_.synchronous() == Ostra::SmControl::synchronousOff) synchronous_ = false;
  inputSmScanStateIs(InputSmScanState::InputSmScanStateIs());
  outputStateIs();
  if (!synchronous_) {
    if (!krelControl_.scheduler()) {
      krelControl_.schedulerIs(Velo::TaskSchedulerRoot::findOrCreateScheduler());
    }
    mibStormControlIfTableOutputReconciliationTaskIs(
        krelControl_.scheduler(), krelControl_.priority(), reconciliationTaskName);
  }
  PONDO_ASSERT_MSG(mib_, mibRequired);
  PONDO_ASSERT_MSG(slice_, sliceRequired);
  PONDO_ASSERT_MSG(ifMib_, ifMibRequired);
  const bool tableHeldRows = !mib_->stormControlIfTable().empty();
  SM_TRACE(9, "Reconciling mibStormControlIfTableOutput: {:}", tableHeldRows);
  reconciling_ = tableHeldRows;
  if (reconciling_) seen_.reserve(mib_->stormControlIfTable().count());
  SM_TRACE(9, "create local SMs");
  SM_TRACE(9, "create non-public arg SMs");
  ifMibSm2Is(ifMib_, this);
  sliceSm0Is(slice_, this);
  SM_TRACE(9, "initialized");
  initialized_ = true;
  handleMibStormControlIfTableOutputInputReady();
}

void StormControlIfTableSm::handleInitialScanDone() {
  if (initialScanDone_) return;
  if (!inputSmScanState_->ifMibStreamScan()) {
    SM_TRACE(9, " ifMibStream scan is false");
    return;
  }
  if (!inputSmScanState_->statusStreamScan()) {
    SM_TRACE(9, " statusStream scan is false");
    return;
  }
  if (!ifMibSm2_ || !sliceSm0_) {
    SM_TRACE(9, "Initial scan yielding for child SM StormControlIfTableSm.");
    return;
  }
  SM_TRACE(9, "Initial scan done for child SMs. Now scanning with events triggered.");
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
  reconciliation_.listeningIs(active);
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

void StormControlIfTableSm::reconciliationRun() {
  if (markAndSweepFlag()) return;
  const Pondo::Ptr<StormControlIfTableSm> self(this);  // the run may release the last owner
  handleMibStormControlIfTableOutputInputReady();
}

Pondo::Ptr<Velo::Task> StormControlIfTableSm::mibStormControlIfTableOutputReconciliationTaskIs(
    const Pondo::Ptr<Velo::TaskScheduler>& scheduler, Velo::TaskPriority priority,
    const Pondo::String& taskName) {
  if (reconciliation_.taskIs(scheduler, priority, taskName)) {
    handleMibStormControlIfTableOutputInputReady();
  }
  return reconciliation_.task();
}

Pondo::Ptr<Velo::Task> StormControlIfTableSm::mibStormControlIfTableOutputReconciliationTaskDel() {
  return reconciliation_.taskDel();
}

void StormControlIfTableSm::handleMibStormControlIfTableOutputInputReady() {
  if (!initialized_) return;
  SM_TRACE(9, "");
  if (outputState_ && outputState_->mibStormControlIfTableOutputReady()) {
    SM_TRACE(9, " already ready, not reconciling.");
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
  SM_TRACE(9, "Input scans for mibStormControlIfTableOutput complete");
  if (reconciling_ && !deletionScan()) return;
  reconciling_ = false;
  seen_.clear();
  if (outputState_) outputState_->mibStormControlIfTableOutputReadyIs(true);
}

bool StormControlIfTableSm::deletionScan() {
  const StormControlMib::Table& table = mib_->stormControlIfTable();
  const Velo::Task* task = reconciliation_.task().get();
  U32 deletions = 0;
  const auto walked = Velo::Job::walk(
      useBookmark_ && bookmark_.k0Valid() ? table.iteratorAt(bookmark_.k0()) : table.begin(),
      [this, &deletions](const StormControlMib::Iterator& it) {
        // The scan never comes back behind its cursor, so a key it has passed is not needed in
        // the seen set any more: taking it out here spreads the set's release over the runs.
        if (!seen_.remove(OutputKey::valid(it->key()))) {
          ++deletions;
          mib_->stormControlIfTableDel(it);
        }
        return true;
      },
      [this, task] {
        return !synchronous_ && task && (!task->taskCurrentlyRunning() || task->taskShouldYield());
      });
  if (!walked.finished()) {
    bookmark_ = OutputKey::valid(*walked.bookmark);
    useBookmark_ = true;
    SM_TRACE_FROM("handleMibStormControlIfTableOutputInputReady", 9,
                  "Yielding in reconciliation processing after processing {} items, including {} "
                  "deletions .",
                  walked.visited, deletions);
    reconciliation_.yieldAfter(walked.visited);
    return false;
  }
  SM_TRACE_FROM("handleMibStormControlIfTableOutputInputReady", 9,
                "Deletion scan for reconciliation is done, last task run processed {} items, "
                "deleting {} items.",
                walked.visited, deletions);
  if (task) {
    reconciliation_.task()->taskWorkCountInc(walked.visited);
    mibStormControlIfTableOutputReconciliationTaskDel();
  }
  bookmark_ = OutputKey();
  useBookmark_ = false;
  return true;
}

// ---- join pipeline ----------------------------------------------------------------------

void StormControlIfTableSm::eventToIfMibStream(Lumo::IntfId intfId, const U32Optional& ifIndexOpt) {
  if (!initialScanDone_) return;
  SM_TRACE(7, "ifMibStream = from( ifMib.ifIndexByIntfId[] ): intfId={} ifIndexOpt={}",
           krelPrint(intfId), krelPrint(ifIndexOpt));
  if (!ifIndexOpt) {
    SM_TRACE(6, "filter( ifIndexOpt ) failed, terminating pipeline");
    return;
  }
  SM_TRACE(6, " foreach( slice.entityPtr ) flattening {} elements", slice_->entityCount());
  for (auto it = slice_->entityPtrIteratorConst(); !it.atEnd(); ++it) {
    SM_TRACE(9, "Flattening element: {}", krelPrint(it.key()));
    const Status* status = asStatus(it.value().get());
    if (!status) {
      SM_TRACE(1,
               "dynamic cast to Bridging::StormControl::Status::PtrConst from "
               "Qel::Entity::PtrConst failed");
      continue;
    }
    // An entry with a null value is present: its rows refer to no status and read 0.
    const IntfStatusPtr* intfStatus = status->intfStatus().find(intfId.stringValue());
    if (!intfStatus) {
      SM_TRACE(6, "filter( intfStatusOpt ) failed, terminating pipeline");
      continue;
    }
    flatten(ifIndexOpt.value(), IntfStatusOpt(*intfStatus), "eventToIfMibStream");
  }
}

void StormControlIfTableSm::eventToStatusStream(const Pondo::String& /*entityName*/,
                                                const Pondo::String& intfName,
                                                const IntfStatusOpt& intfStatusOpt) {
  if (!initialScanDone_) return;
  SM_TRACE(7,
           "statusStream = from( slice.entityPtr< Status >[].intfStatus[] ): intfId={} "
           "intfStatusOpt={}",
           krelPrint(intfName), krelPrint(intfStatusOpt));
  Lumo::IntfId intfId;
  intfId.handleInitialized(intfName);
  const U32Optional ifIndexOpt = ifMib_->ifIndexByIntfId(intfId);
  if (!ifIndexOpt) {
    SM_TRACE(6, "filter( ifIndexOpt ) failed, terminating pipeline");
    return;
  }
  flatten(ifIndexOpt.value(), intfStatusOpt, "eventToStatusStream");
}

void StormControlIfTableSm::flatten(U32 ifIndex, const IntfStatusOpt& intfStatusOpt,
                                    const char* function) {
  SM_TRACE_FROM(function, 6,
                " foreach( [ TCType::all(), TCType::broadcast(), TCType::multicast(), "
                "TCType::unknownUnicast() ] ) flattening {} elements",
                U64(std::size(stormControlTCTypes)));
  for (StormControlTCType trafficClass : stormControlTCTypes) {
    SM_TRACE_FROM(function, 9, "Flattening element: {}", krelPrint(trafficClass));
    into(Key(ifIndex, trafficClass), intfStatusOpt, function);
  }
}

void StormControlIfTableSm::into(const Key& key, const IntfStatusOpt& intfStatusOpt,
                                 const char* function) {
  if (reconciling_) seen_.insert(OutputKey::valid(key));
  if (!intfStatusOpt) {
    SM_TRACE_FROM(function, 7, "into( mib.stormControlIfTable[ key ] ): deleting k1={}", key);
    mib_->stormControlIfTableDel(key);
    return;
  }
  const IntfStatusPtr& status = intfStatusOpt.value();
  SM_TRACE_FROM(function, 7, "into( mib.stormControlIfTable[ key ] ): inserting k1={}, value={}",
                key, krelPrint(KrelCode::OutputElement{key, status}));
  mib_->stormControlIfTableReplace(key, status);
}
}  // namespace StormControlSnmp
