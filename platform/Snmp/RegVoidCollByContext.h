// Snmp/RegVoidCollByContext.h — the host's registry of table records by (context, table).
///
/// One process-wide singleton entity, named `singletonName` and of type
/// `Snmp::RegVoidCollByContext` (index 2 of module "Snmp"), created through the singleton
/// registry of `Qel::Entity`. A plug-in adds a record when it starts serving a table in a
/// context and deletes it when it stops; the registry holds each record until then. At most
/// one record per (context, table): adding again replaces the record (earlier holders keep the
/// earlier one, the registry no longer returns it).
#pragma once

#include <map>
#include <utility>

#include "Pondo/Ptr.h"
#include "Pondo/String.h"
#include "Pooly/Slab.h"
#include "Qel/Entity.h"
#include "Snmp/RegVoid.h"

namespace Snmp {

class RegVoidCollByContext : public Qel::Entity, public Pooly::Slab<RegVoidCollByContext> {
 public:
  static inline Pooly::AllocTracker memAllocationTracker_{"Snmp::RegVoidCollByContext"};
  static constexpr const char* singletonName = "Snmp::RegVoidCollByContext";

  explicit RegVoidCollByContext(const Pondo::String& name) : Qel::Entity(name) {}

  const Qel::TypeData* typeData() const override;
  static const Qel::TypeData& fwkType();
  /// The process's registry, created on first use.
  static Pondo::Ptr<RegVoidCollByContext> instance();

  /// A new record for (context, table) carrying `payload` and new counters.
  Pondo::Ptr<RegVoid> addRegVoid(const Pondo::String& context, const Pondo::String& table,
                                 void* payload);
  /// Drops the record for (context, table); false when there was none.
  bool delRegVoid(const Pondo::String& context, const Pondo::String& table);
  /// The record for (context, table), or null.
  Pondo::Ptr<RegVoid> regVoid(const Pondo::String& context, const Pondo::String& table) const;
  U32 regVoidCount() const noexcept { return static_cast<U32>(regVoids_.size()); }

 private:
  using Key = std::pair<Pondo::String, Pondo::String>;  // (context, table)

  std::map<Key, Pondo::Ptr<RegVoid>> regVoids_;
};

}  // namespace Snmp
