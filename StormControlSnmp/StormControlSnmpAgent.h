// StormControlSnmp/StormControlSnmpAgent.h — the plug-in's root entity and its agent.
///
/// `Root` is the plug-in's top entity; the host creates it with `rootFactory` and instantiates
/// its one `StormControlSnmpAgent` through attribute 258 (`stormControlSnmpAgent`) with three
/// inputs: the table entity, the slice directory of status entities and the interface MIB. The
/// agent creates the table maintenance machine as the last step of its construction.
///
/// Ownership, all through `Pondo::Ptr`: the root holds the only long-lived reference to the
/// agent; the agent holds its three inputs and the only long-lived reference to the machine.
/// Replacing the agent keeps the old one (and its machine) alive until the new agent and its
/// machine exist and the change has been published. Teardown deactivates a machine before it is
/// released. Single thread, no locks.
#pragma once

#include "IntfSnmp/IfMib.h"
#include "Ostra/SmControl.h"
#include "Pondo/Ptr.h"
#include "Pondo/Publisher.h"
#include "Pondo/String.h"
#include "Pooly/Slab.h"
#include "Qel/Dir.h"
#include "Qel/Entity.h"
#include "Qel/Module.h"
#include "StormControlSnmp/StormControlIfTableSm.h"
#include "StormControlSnmp/StormControlSnmp.h"

namespace StormControlSnmp {

/// The registered type module of the agent: StormControlSnmpAgent, then Root.
const Qel::Module& stormControlSnmpAgentModule();

// ---- agent ------------------------------------------------------------------------------

/// Owns the table maintenance machine and the control value it is created with.
class StormControlSnmpAgent : public Pondo::Node, public Pooly::Slab<StormControlSnmpAgent> {
 public:
  static inline Pooly::AllocTracker memAllocationTracker_{
      "StormControlSnmp::StormControlSnmpAgent"};
  enum Attr : U16 {
    scMibAttr = 130,
    sliceAttr,
    ifMibAttr,
    smControlAttr,
    stormControlIfTableSmAttr,
    handleInitializedAttr,
  };
  /// Priority of the machine's tasks until `smControlIs` says otherwise.
  static constexpr Velo::TaskPriority defaultPriority = 3;

  /// Holds the three inputs and creates the machine (`handleInitialized`).
  StormControlSnmpAgent(const Pondo::Ptr<StormControlMib>& scMib,
                        const Pondo::Ptr<const Qel::Dir>& slice,
                        const Pondo::Ptr<const IntfSnmp::IfMib>& ifMib);
  /// Deactivates and releases the machine, then the control value and the inputs.
  ~StormControlSnmpAgent() override;

  virtual const Qel::TypeData* typeData() const;

  const Pondo::Ptr<StormControlMib>& scMib() const noexcept { return scMib_; }
  const Pondo::Ptr<const Qel::Dir>& slice() const noexcept { return slice_; }
  const Pondo::Ptr<const IntfSnmp::IfMib>& ifMib() const noexcept { return ifMib_; }
  const Ostra::SmControl& smControl() const noexcept { return smControl_; }
  /// Replaces the control value; a present machine sees it only at the next
  /// `stormControlIfTableSmIs`.
  void smControlIs(const Ostra::SmControl& control) { smControl_ = control; }
  const Pondo::Ptr<StormControlIfTableSm>& stormControlIfTableSm() const noexcept {
    return stormControlIfTableSm_;
  }

  /// Creates the machine from the inputs and the control value; traces at level 9.
  void handleInitialized();
  /// Copies `krelControl` into the present machine; keeps that machine when its three inputs
  /// are these same objects, otherwise creates a new one, activates it and releases the old.
  Pondo::Ptr<StormControlIfTableSm> stormControlIfTableSmIs(
      const Pondo::Ptr<StormControlMib>& mib, const Pondo::Ptr<const Qel::Dir>& slice,
      const Pondo::Ptr<const IntfSnmp::IfMib>& ifMib, const Ostra::SmControl& krelControl);
  /// Takes the machine out, deactivated; null when there is none.
  Pondo::Ptr<StormControlIfTableSm> stormControlIfTableSmDel();

 private:
  Pondo::Ptr<StormControlMib> scMib_;
  Pondo::Ptr<const Qel::Dir> slice_;
  Pondo::Ptr<const IntfSnmp::IfMib> ifMib_;
  Ostra::SmControl smControl_;
  Pondo::Ptr<StormControlIfTableSm> stormControlIfTableSm_;
};

// ---- root -------------------------------------------------------------------------------

/// The plug-in's top entity: holds no agent, or one.
class Root : public Qel::Entity, public Pooly::Slab<Root> {
 public:
  static inline Pooly::AllocTracker memAllocationTracker_{"StormControlSnmp::Root"};
  enum Attr : U16 {
    nameStringAttr = 154,
    /// Changes are published with no key and, as previous value, a pointer to a
    /// `Pondo::Ptr<StormControlSnmpAgent>` holding the agent that left (null when none did).
    stormControlSnmpAgentAttr = 258,
  };

  explicit Root(const Pondo::String& name) : Qel::Entity(name) {}
  /// Publishes the removal of the agent, then releases it.
  ~Root() override;

  static Pondo::Ptr<Root> RootIs(const Pondo::String& name);

  Pondo::Publisher* publisher() const override { return &publisher_; }
  const Qel::TypeData* typeData() const override;

  const Pondo::Ptr<StormControlSnmpAgent>& stormControlSnmpAgent() const noexcept {
    return stormControlSnmpAgent_;
  }
  /// Keeps the present agent when its three inputs are these same objects. Otherwise takes it
  /// out, creates the new agent, publishes the change and only then releases the old agent.
  Pondo::Ptr<StormControlSnmpAgent> stormControlSnmpAgentIs(
      const Pondo::Ptr<StormControlMib>& scMib, const Pondo::Ptr<const Qel::Dir>& slice,
      const Pondo::Ptr<const IntfSnmp::IfMib>& ifMib);
  /// Takes the agent out and publishes its removal; null, and nothing published, when there
  /// is none.
  Pondo::Ptr<StormControlSnmpAgent> stormControlSnmpAgentDel();

 private:
  mutable Pondo::Publisher publisher_;
  Pondo::Ptr<StormControlSnmpAgent> stormControlSnmpAgent_;
};

/// A new root named `name`; the host's factory for the plug-in.
Pondo::Ptr<Root> rootFactory(const Pondo::String& name);

}  // namespace StormControlSnmp
