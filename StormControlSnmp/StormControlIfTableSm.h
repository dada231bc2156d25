// StormControlSnmp/StormControlIfTableSm.h — the machine that keeps the storm-control table exact.
///
/// `StormControlIfTableSm` joins two inputs of the state database into the rows of
/// `StormControlMib::stormControlIfTable`:
///
///   ifMibStream  = from( ifMib.ifIndexByIntfId[] )                          (IfMibSm2)
///   statusStream = from( slice.entityPtr< Status >[].intfStatus[] )         (SliceSm0,
///   EntityPtrSm1) join on the interface → foreach traffic class → into( mib.stormControlIfTable[
///   key ] )
///
/// Phases, which only advance: initialised (children scan once; events are dropped), initial
/// scan done (children scan again and the pipeline writes rows), reconciling (only when the
/// table held rows at start: rows the pipeline did not produce are deleted, in task runs that
/// resume from a key bookmark), ready (every later event updates the table at once).
///
/// Ownership: the machine owns its state objects, children and tasks through `Pondo::Ptr`;
/// children refer back to their parent with plain pointers, cleared when they are withdrawn.
/// Single thread: handlers run to completion; long scans are cut into task runs.
/// Traces test their level before any argument is formatted.
///
/// This header is what the machine's users need; the input machines are declared in
/// StormControlIfTableSmInputs.h, the type module and trace texts in the files beside it.
#pragma once

#include <compare>
#include <iosfwd>

#include "Bridging/IntfStatus.h"
#include "Bridging/Status.h"  // the entities of the slice directory
#include "IntfSnmp/IfMib.h"
#include "Lumo/IntfId.h"
#include "Ostra/SmControl.h"
#include "Pondo/DebugHandler.h"
#include "Pondo/Publisher.h"
#include "Pooly/Slab.h"
#include "Qel/CharRange.h"
#include "Qel/Dir.h"
#include "Qel/HashMap2018.h"
#include "Qel/Module.h"
#include "Qel/Optional.h"
#include "StormControlSnmp/StormControlSnmp.h"
#include "Velo/Job.h"
#include "Velo/Task.h"

namespace StormControlSnmp {

class StormControlIfTableSm;

/// The registered type module of the machine: InputSmScanState, OutputState, EntityPtrSm1,
/// IfMibSm2, SliceSm0, MibStormControlIfTableOutputKeyType, StormControlIfTableSm.
const Qel::Module& stormControlIfTableSmModule();

namespace KrelCode {

using IntfStatusPtr = Pondo::Ptr<const Bridging::StormControl::IntfStatus>;
using IntfStatusOpt = Qel::Optional<IntfStatusPtr>;

namespace StormControlIfTableSm {

class IfMibSm2;
class SliceSm0;

// ---- state objects ----------------------------------------------------------------------

/// Progress of the children's scans, as the root machine watches it.
class InputSmScanState : public Pondo::Node, public Pooly::Slab<InputSmScanState> {
 public:
  static inline Pooly::AllocTracker memAllocationTracker_{
      "StormControlSnmp::KrelCode::StormControlIfTableSm::InputSmScanState"};
  enum Attr : U16 { handleIdleAttr = 130, ifMibStreamScanAttr, statusStreamScanAttr, idleAttr };

  static Pondo::Ptr<InputSmScanState> InputSmScanStateIs();
  Pondo::Publisher* publisher() const override { return &publisher_; }
  const Qel::TypeData* typeData() const;

  bool ifMibStreamScan() const noexcept { return ifMibStreamScan_; }
  bool statusStreamScan() const noexcept { return statusStreamScan_; }
  bool idle() const noexcept { return idle_; }
  // Each setter publishes the change, with the previous value, only when the value changes.
  void ifMibStreamScanIs(bool value);
  void statusStreamScanIs(bool value);
  void idleIs(bool value);
  void handleIdle() { idleIs(true); }

 private:
  void flagIs(bool& flag, bool value, U16 attr);

  mutable Pondo::Publisher publisher_;
  bool ifMibStreamScan_ = false;
  bool statusStreamScan_ = false;
  bool idle_ = false;
};

/// Whether the table output is complete, and the machine with it.
class OutputState : public Pondo::Node, public Pooly::Slab<OutputState> {
 public:
  static inline Pooly::AllocTracker memAllocationTracker_{
      "StormControlSnmp::KrelCode::StormControlIfTableSm::OutputState"};
  enum Attr : U16 { mibStormControlIfTableOutputReadyAttr = 130, readyAttr, handleReadyAttr };

  static Pondo::Ptr<OutputState> OutputStateIs();
  Pondo::Publisher* publisher() const override { return &publisher_; }
  const Qel::TypeData* typeData() const;

  bool mibStormControlIfTableOutputReady() const noexcept { return outputReady_; }
  bool ready() const noexcept { return ready_; }
  /// Sets the output flag; `ready` follows and is published first.
  void mibStormControlIfTableOutputReadyIs(bool value);
  void readyIs(bool value);
  void handleReady() { readyIs(outputReady_); }

 private:
  mutable Pondo::Publisher publisher_;
  bool outputReady_ = false;
  bool ready_ = false;
};

Pondo::Ptr<OutputState> outputStateFactory();

}  // namespace StormControlIfTableSm
}  // namespace KrelCode

// ---- the machine ------------------------------------------------------------------------

class StormControlIfTableSm : public Pondo::Node, public Pooly::Slab<StormControlIfTableSm> {
 public:
  static inline Pooly::AllocTracker memAllocationTracker_{
      "StormControlSnmp::StormControlIfTableSm"};
  static constexpr const char* traceComponent = "StormControlIfTableSm";
  enum Attr : U16 {
    mibAttr = 130,
    sliceAttr,
    ifMibAttr,
    inputSmScanStateAttr,
    outputStateAttr,
    ifMibSm2Attr,
    sliceSm0Attr,
    handleMibStormControlIfTableOutputInputReadyAttr,
    mibStormControlIfTableOutputSeenAttr,
    mibStormControlIfTableOutputReconciliationTaskAttr,
    mibStormControlIfTableOutputBookmarkAttr,
    mibStormControlIfTableOutputReconcilingAttr,
    mibStormControlIfTableOutputUseBookmarkAttr,
    doDeleteAllAttr,
    krelControlAttr,
    synchronousAttr = 146,
    defaultSynchronousAttr,
    schedulerAttr,
    priorityAttr,
    idleAttr = 151,
    readyAttr,
    initialScanDoneAttr,
    handleInitialScanDoneAttr,
    initializedAttr,
    handleInitializedAttr,
  };
  using InputSmScanState = KrelCode::StormControlIfTableSm::InputSmScanState;
  using OutputState = KrelCode::StormControlIfTableSm::OutputState;
  using IfMibSm2 = KrelCode::StormControlIfTableSm::IfMibSm2;
  using SliceSm0 = KrelCode::StormControlIfTableSm::SliceSm0;
  using IntfStatusOpt = KrelCode::IntfStatusOpt;

  /// Output key of reconciliation: a row key and whether it has been set.
  class MibStormControlIfTableOutputKeyType {
   public:
    enum Attr : U16 { k0Attr = 2, k0ValidAttr, validateAttr };

    MibStormControlIfTableOutputKeyType() noexcept = default;
    explicit MibStormControlIfTableOutputKeyType(StormControlIfTableKey k0) noexcept : k0_(k0) {}
    explicit MibStormControlIfTableOutputKeyType(Qel::CharRange& range);
    /// A set key (`k0Valid` true), as the pipeline and the deletion scan use it.
    static MibStormControlIfTableOutputKeyType valid(StormControlIfTableKey k0) noexcept {
      MibStormControlIfTableOutputKeyType key(k0);
      key.validate();
      return key;
    }

    const StormControlIfTableKey& k0() const noexcept { return k0_; }
    bool k0Valid() const noexcept { return k0Valid_; }
    void validate() noexcept { k0Valid_ = true; }
    bool isNonDefault() const noexcept { return k0Valid_ || k0_.isNonDefault(); }

    static bool isEq(const void* a, const void* b) noexcept;
    U32 hash(U32 seed) const noexcept;
    bool operator==(const MibStormControlIfTableOutputKeyType& o) const noexcept {
      return k0Valid_ == o.k0Valid_ && k0_ == o.k0_;
    }
    std::strong_ordering operator<=>(const MibStormControlIfTableOutputKeyType& o) const noexcept {
      if (auto c = k0_ <=> o.k0_; c != 0) return c;
      return k0Valid_ <=> o.k0Valid_;
    }

   private:
    StormControlIfTableKey k0_;
    bool k0Valid_ = false;
  };
  using OutputKey = MibStormControlIfTableOutputKeyType;
  using SeenSet = Qel::HashMap2018<OutputKey>;
  using HN_MibStormControlIfTableOutputSeen = SeenSet::Node;

  static constexpr const char* reconciliationTaskName =
      "StormControlIfTableSm-mibStormControlIfTableOutputTask";

  static Pondo::Ptr<StormControlIfTableSm> StormControlIfTableSmIs(
      const Pondo::Ptr<StormControlMib>& mib, const Pondo::Ptr<const Qel::Dir>& slice,
      const Pondo::Ptr<const IntfSnmp::IfMib>& ifMib, const Ostra::SmControl& krelControl);
  StormControlIfTableSm(const Pondo::Ptr<StormControlMib>& mib,
                        const Pondo::Ptr<const Qel::Dir>& slice,
                        const Pondo::Ptr<const IntfSnmp::IfMib>& ifMib,
                        const Ostra::SmControl& krelControl);
  ~StormControlIfTableSm() override;

  const Qel::TypeData* typeData() const;

  // ---- inputs and control ----
  const Pondo::Ptr<StormControlMib>& mib() const noexcept { return mib_; }
  const Pondo::Ptr<const Qel::Dir>& slice() const noexcept { return slice_; }
  const Pondo::Ptr<const IntfSnmp::IfMib>& ifMib() const noexcept { return ifMib_; }
  const Ostra::SmControl& krelControl() const noexcept { return krelControl_; }
  Ostra::SmControl& krelControl() noexcept { return krelControl_; }
  const Pondo::Ptr<Velo::TaskScheduler>& scheduler() const noexcept {
    return krelControl_.scheduler();
  }
  Velo::TaskPriority priority() const noexcept { return krelControl_.priority(); }
  const Pondo::Platform::DebugHandler& traceHandle() const noexcept { return *traceHandle_; }

  // ---- flags and derived state ----
  bool synchronous() const noexcept { return synchronous_; }
  bool initialScanDone() const noexcept { return initialScanDone_; }
  bool initialized() const noexcept { return initialized_; }
  bool ready() const noexcept { return outputState_ && outputState_->ready(); }
  bool idle() const noexcept;

  // ---- for generic access only (attributes by number) ----
  void schedulerIs(const Pondo::Ptr<Velo::TaskScheduler>& s) { krelControl_.schedulerIs(s); }
  void priorityIs(Velo::TaskPriority p) noexcept { krelControl_.priorityIs(p); }
  void qtHandleIs(Strobe::TraceHandle* handle) noexcept { krelControl_.qtHandleIs(handle); }
  bool defaultSynchronous() const noexcept { return false; }

  // ---- local objects and children ----
  const Pondo::Ptr<InputSmScanState>& inputSmScanState() const noexcept {
    return inputSmScanState_;
  }
  void inputSmScanStateIs(const Pondo::Ptr<InputSmScanState>& state);
  Pondo::Ptr<InputSmScanState> inputSmScanStateDel();
  const Pondo::Ptr<OutputState>& outputState() const noexcept { return outputState_; }
  Pondo::Ptr<OutputState> outputStateIs();
  Pondo::Ptr<OutputState> outputStateDel();
  const Pondo::Ptr<IfMibSm2>& ifMibSm2() const noexcept { return ifMibSm2_; }
  Pondo::Ptr<IfMibSm2> ifMibSm2Is(const Pondo::Ptr<const IntfSnmp::IfMib>& ifMib,
                                  StormControlIfTableSm* parent);
  Pondo::Ptr<IfMibSm2> ifMibSm2Del();
  const Pondo::Ptr<SliceSm0>& sliceSm0() const noexcept { return sliceSm0_; }
  Pondo::Ptr<SliceSm0> sliceSm0Is(const Pondo::Ptr<const Qel::Dir>& slice,
                                  StormControlIfTableSm* parent);
  Pondo::Ptr<SliceSm0> sliceSm0Del();

  // ---- reconciliation ----
  const SeenSet& mibStormControlIfTableOutputSeen() const noexcept { return seen_; }
  void mibStormControlIfTableOutputSeenIs(const OutputKey& key) { seen_.insert(key); }
  void mibStormControlIfTableOutputSeenDel(const OutputKey& key) { seen_.remove(key); }
  void mibStormControlIfTableOutputSeenDelAll() { seen_.clear(); }
  const Pondo::Ptr<Velo::Task>& mibStormControlIfTableOutputReconciliationTask() const noexcept {
    return reconciliation_.task();
  }
  Pondo::Ptr<Velo::Task> mibStormControlIfTableOutputReconciliationTaskIs(
      const Pondo::Ptr<Velo::TaskScheduler>& scheduler, Velo::TaskPriority priority,
      const Pondo::String& taskName);
  Pondo::Ptr<Velo::Task> mibStormControlIfTableOutputReconciliationTaskDel();
  const OutputKey& mibStormControlIfTableOutputBookmark() const noexcept { return bookmark_; }
  bool mibStormControlIfTableOutputReconciling() const noexcept { return reconciling_; }
  bool mibStormControlIfTableOutputUseBookmark() const noexcept { return useBookmark_; }

  // ---- handlers and operations ----
  void handleInitialized();
  void handleInitialScanDone();
  void handleMibStormControlIfTableOutputInputReady();
  void doDeleteAll();
  void hasNotificationActiveIs(bool active);
  void qelDoZombieReactors(bool zombie);

  // ---- the pipeline's entry points ----
  void eventToIfMibStream(Lumo::IntfId intfId, const U32Optional& ifIndexOpt);
  void eventToStatusStream(const Pondo::String& entityName, const Pondo::String& intfName,
                           const IntfStatusOpt& intfStatusOpt);

 private:
  void inputSmScanStateDispatch(const Pondo::Change& change);
  void reconciliationRun();
  void flatten(U32 ifIndex, const IntfStatusOpt& intfStatusOpt, const char* function);
  void into(const StormControlIfTableKey& key, const IntfStatusOpt& intfStatusOpt,
            const char* function);
  /// One run of the deletion scan; false when it suspended itself.
  bool deletionScan();
  void releaseMembers();

  Pondo::Ptr<StormControlMib> mib_;
  Pondo::Ptr<const Qel::Dir> slice_;
  Pondo::Ptr<const IntfSnmp::IfMib> ifMib_;
  Pondo::Ptr<InputSmScanState> inputSmScanState_;
  Pondo::Subscriber inputSmScanStateSubscriber_{
      this, Pondo::memberHandler<&StormControlIfTableSm::inputSmScanStateDispatch>};
  Pondo::Ptr<OutputState> outputState_;
  Pondo::Ptr<IfMibSm2> ifMibSm2_;
  Pondo::Ptr<SliceSm0> sliceSm0_;
  SeenSet seen_{Qel::HashHelper::hashSeed32() ^ 0xf533c1b4u};
  Velo::Job reconciliation_{this, Velo::memberStep<&StormControlIfTableSm::reconciliationRun>};
  OutputKey bookmark_;
  bool reconciling_ = false;
  bool useBookmark_ = false;
  Ostra::SmControl krelControl_;
  Pondo::Ptr<Pondo::Platform::DebugHandler> traceHandle_;
  bool synchronous_ = false;
  bool initialScanDone_ = false;
  bool initialized_ = false;
};

std::ostream& operator<<(std::ostream& out,
                         const StormControlIfTableSm::MibStormControlIfTableOutputKeyType& key);

/// The framework's factory for the machine.
Pondo::Ptr<StormControlIfTableSm> stormControlIfTableSmFactory(
    const Pondo::Ptr<StormControlMib>& mib, const Pondo::Ptr<const Qel::Dir>& slice,
    const Pondo::Ptr<const IntfSnmp::IfMib>& ifMib, const Ostra::SmControl& krelControl);

}  // namespace StormControlSnmp
