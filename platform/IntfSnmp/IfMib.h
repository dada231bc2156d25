// IntfSnmp/IfMib.h — the interface MIB model: the SNMP ifIndex of every interface.
///
/// `ifIndexByIntfId` (attribute 261) maps interface identifiers to ifIndex values. Every change
/// is published with the `Lumo::IntfId` as key and, for a change or removal, the previous `U32`
/// as previous value.
#pragma once

#include "Lumo/IntfId.h"
#include "Pondo/Publisher.h"
#include "Pooly/Slab.h"
#include "Qel/Entity.h"
#include "Qel/HashMap2018.h"
#include "Qel/Optional.h"

namespace IntfSnmp {

class IfMib : public Qel::Entity, public Pooly::Slab<IfMib> {
 public:
  static inline Pooly::AllocTracker memAllocationTracker_{"IntfSnmp::IfMib"};
  static constexpr U16 ifIndexByIntfIdAttr = 261;
  using IfIndexMap = Qel::HashMap2018<Lumo::IntfId, U32>;

  explicit IfMib(const Pondo::String& name) : Qel::Entity(name) {}

  Pondo::Publisher* publisher() const override { return &publisher_; }
  const Qel::TypeData* typeData() const override;

  const IfIndexMap& ifIndexByIntfId() const noexcept { return ifIndexByIntfId_; }
  U32Optional ifIndexByIntfId(const Lumo::IntfId& id) const;
  /// Sets the ifIndex of `id`; nothing when it is unchanged.
  void ifIndexByIntfIdIs(const Lumo::IntfId& id, U32 ifIndex);
  /// Removes the ifIndex of `id`; returns it, absent when there was none.
  U32Optional ifIndexByIntfIdDel(const Lumo::IntfId& id);

 private:
  mutable Pondo::Publisher publisher_;
  IfIndexMap ifIndexByIntfId_;
};

}  // namespace IntfSnmp
