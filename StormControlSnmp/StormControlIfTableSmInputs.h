// StormControlSnmp/StormControlIfTableSmInputs.h — the table machine's input machines.
///
/// Each is what it scans and what it emits; the scan, task, subscriptions, zombie switch and
/// withdrawal come from `Ostra::Gen::InputMachine`, whose header states the rules they rely
/// on (bookmark, completion before the handshake, suspension inside the slice machine,
/// iteration that survives removal).
///
///   IfMibSm2      scans ifMib.ifIndexByIntfId[]            emits eventToIfMibStream
///   SliceSm0      scans slice.entityPtr[]                  keeps one EntityPtrSm1 per entity
///   EntityPtrSm1  scans one status entity's intfStatus[]   emits eventToStatusStream
///
/// The numbered names the machines register (`doInputScan1`, `task0`, ...) are bound to the
/// base's members (`scanStep`, `task`, ...). Ownership: the root holds `IfMibSm2` and `SliceSm0`,
/// the slice machine holds its children; parents are plain pointers, cleared on withdrawal.
#pragma once

#include "Bridging/Status.h"
#include "IntfSnmp/IfMib.h"
#include "Lumo/IntfId.h"
#include "Ostra/InputMachine.h"
#include "Pondo/DebugHandler.h"
#include "Pooly/Slab.h"
#include "Qel/Dir.h"
#include "Qel/HashMap2018.h"
#include "StormControlSnmp/StormControlIfTableSm.h"

namespace StormControlSnmp::KrelCode::StormControlIfTableSm {

using Root = ::StormControlSnmp::StormControlIfTableSm;

// ---- interface-index input ----------------------------------------------------------------

/// Follows the interface MIB's `ifIndexByIntfId` and feeds the interface-index stream.
class IfMibSm2 : public Ostra::Gen::InputMachine<IntfSnmp::IfMib, Lumo::IntfId, Root>,
                 public Pooly::Slab<IfMibSm2> {
 public:
  static inline Pooly::AllocTracker memAllocationTracker_{
      "StormControlSnmp::KrelCode::StormControlIfTableSm::IfMibSm2"};
  static constexpr const char* traceComponent = "IfMibSm2";
  enum Attr : U16 {
    enAttr = 258,
    parentAttr,
    rootAttr,
    doDeleteAllAttr = 262,
    shouldYield1Attr,
    inTask1Attr,
    inputScanBookmark1Attr,
    inputScanState1Attr,
    inputScanComplete1Attr,
    versionIfIndexByIntfIdAttr,
    handleIfIndexByIntfId1Attr,
    handleIfIndexByIntfId1ReactorAttr,
    doInputScan1Attr,
    task1Attr,
  };
  using IfMibPtrConst = InputPtr;

  static Pondo::Ptr<IfMibSm2> IfMibSm2Is(const IfMibPtrConst& ifMib, Root* parent);
  IfMibSm2(const IfMibPtrConst& ifMib, Root* parent);

  const Qel::TypeData* typeData() const override;
  void doInputScan() override;
  void doInitializeTask() override;
  Root* root() const noexcept { return parent(); }
  const Pondo::Platform::DebugHandler& traceHandle() const;

  void handleIfIndexByIntfId1(const Lumo::IntfId& intfId);
  void handleIfIndexByIntfId1Reactor(const Lumo::IntfId& intfId);
  void doDeleteAll();

 private:
  void onInputChange(const Pondo::Change& change) override;
  void scanEntered(Ostra::Gen::InputScanState entry) override;
  Walked scanFrom(bool resume) override;
  U64 scanCount() const override;
  void scanStopped(const Walked& walked, U64 total) override;
  void scanEnded(bool initial, const Walked& walked) override;
};

// ---- status inputs ------------------------------------------------------------------------

class SliceSm0;

/// Follows `intfStatus` of one status entity and feeds the status stream. It owns no task: the
/// slice machine scans it inside its own step, and its reactor counts as the slice machine's.
class EntityPtrSm1
    : public Ostra::Gen::InputMachine<Bridging::StormControl::Status, Pondo::String, SliceSm0>,
      public Pooly::Slab<EntityPtrSm1> {
 public:
  static inline Pooly::AllocTracker memAllocationTracker_{
      "StormControlSnmp::KrelCode::StormControlIfTableSm::EntityPtrSm1"};
  static constexpr const char* traceComponent = "EntityPtrSm1";
  enum Attr : U16 {
    enAttr = 258,
    parentAttr,
    rootAttr,
    smKeyAttr = 262,
    doDeleteAllAttr,
    shouldYield0Attr,
    inTask0Attr,
    inputScanBookmark0Attr,
    inputScanState0Attr,
    inputScanComplete0Attr,
    versionIntfStatusAttr,
    handleIntfStatus0Attr,
    handleIntfStatus0ReactorAttr,
    doInputScan0Attr,
  };
  using StatusPtrConst = InputPtr;

  static Pondo::Ptr<EntityPtrSm1> EntityPtrSm1Is(const StatusPtrConst& status, SliceSm0* parent);
  EntityPtrSm1(const StatusPtrConst& status, SliceSm0* parent);

  const Qel::TypeData* typeData() const override;
  void doInputScan() override;
  void inReactorIs(bool inReactor) override;
  bool inReactor() const override;
  Velo::Task* scanTask() const override;
  Root* root() const noexcept;
  Pondo::String smKey() const { return en() ? en()->name() : Pondo::String(); }
  const Pondo::Platform::DebugHandler& traceHandle() const;

  void handleIntfStatus0(const Pondo::String& intfName);
  void handleIntfStatus0Reactor(const Pondo::String& intfName);
  void doDeleteAll();

 private:
  void onInputChange(const Pondo::Change& change) override;
  void scanEntered(Ostra::Gen::InputScanState entry) override;
  Walked scanFrom(bool resume) override;
  U64 scanCount() const override;
  void scanStopped(const Walked& walked, U64 total) override;
  void scanEnded(bool initial, const Walked& walked) override;
};

/// Follows the slice directory: one `EntityPtrSm1` per status entity; owns the scan task.
class SliceSm0 : public Ostra::Gen::InputMachine<Qel::Dir, Pondo::String, Root>,
                 public Pooly::Slab<SliceSm0> {
 public:
  static inline Pooly::AllocTracker memAllocationTracker_{
      "StormControlSnmp::KrelCode::StormControlIfTableSm::SliceSm0"};
  static constexpr const char* traceComponent = "SliceSm0";
  enum Attr : U16 {
    enAttr = 258,
    parentAttr,
    rootAttr,
    doDeleteAllAttr = 263,
    shouldYield0Attr,
    inTask0Attr,
    inputScanBookmark0Attr,
    inputScanState0Attr,
    inputScanComplete0Attr,
    childSmEntityPtrBridgingStormControlStatusPtrConstAttr,
    handleEntityPtr0Attr,
    handleEntityPtr0ReactorAttr,
    doInputScan0Attr,
    task0Attr,
  };
  using DirPtrConst = InputPtr;
  using ChildMap = Qel::HashMap2018<Pondo::String, Pondo::Ptr<EntityPtrSm1>>;

  static Pondo::Ptr<SliceSm0> SliceSm0Is(const DirPtrConst& slice, Root* parent);
  SliceSm0(const DirPtrConst& slice, Root* parent);
  /// Withdraws the children after the base's first teardown steps.
  ~SliceSm0() override;

  const Qel::TypeData* typeData() const override;
  void doInputScan() override;
  void doInitializeTask() override;
  void hasNotificationActiveIs(bool active) override;
  Root* root() const noexcept { return parent(); }
  const Pondo::Platform::DebugHandler& traceHandle() const;

  const ChildMap& childSmEntityPtrBridgingStormControlStatusPtrConst() const noexcept {
    return children_;
  }
  Pondo::Ptr<EntityPtrSm1> childSmEntityPtrBridgingStormControlStatusPtrConstIs(
      const EntityPtrSm1::StatusPtrConst& status, SliceSm0* parent);
  Pondo::Ptr<EntityPtrSm1> childSmEntityPtrBridgingStormControlStatusPtrConstDel(
      const Pondo::String& name);
  void childSmEntityPtrBridgingStormControlStatusPtrConstDelAll() { children_.clear(); }

  void handleEntityPtr0(const Pondo::String& name);
  void handleEntityPtr0Reactor(const Pondo::String& name);
  void doDeleteAll();

 private:
  void onInputChange(const Pondo::Change& change) override;
  void scanEntered(Ostra::Gen::InputScanState entry) override;
  Walked scanFrom(bool resume) override;
  U64 scanCount() const override;
  void scanStopped(const Walked& walked, U64 total) override;
  void scanEnded(bool initial, const Walked& walked) override;
  /// Takes a child back: it withdraws its rows and forgets this machine.
  void withdrawChild(const Pondo::Ptr<EntityPtrSm1>& child);

  ChildMap children_;
};

}  // namespace StormControlSnmp::KrelCode::StormControlIfTableSm
