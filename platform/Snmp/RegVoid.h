// Snmp/RegVoid.h — one record of the host's per-(context, table) registry.
///
/// A record notes which object (`payload`, not owned, untyped) serves `table` in SNMP
/// `context`, and holds that table's counters. The registry (`Snmp::RegVoidCollByContext`)
/// makes records with counters; a record may also be made, or left, without counters, which a
/// serving plug-in must tolerate. Context, table and payload never change.
#pragma once

#include <utility>

#include "Pondo/Node.h"
#include "Pondo/Ptr.h"
#include "Pondo/String.h"
#include "Pooly/Slab.h"
#include "Qel/TypeData.h"
#include "Snmp/TableCounters.h"

namespace Snmp {

class RegVoid : public Pondo::Node, public Pooly::Slab<RegVoid> {
 public:
  static inline Pooly::AllocTracker memAllocationTracker_{"Snmp::RegVoid"};

  RegVoid(const Pondo::String& context, const Pondo::String& table, void* payload,
          Pondo::Ptr<TableCounters> tableCounters)
      : context_(context),
        table_(table),
        payload_(payload),
        tableCounters_(std::move(tableCounters)) {}

  virtual const Qel::TypeData* typeData() const;
  static const Qel::TypeData& fwkType();

  const Pondo::String& context() const noexcept { return context_; }
  const Pondo::String& table() const noexcept { return table_; }
  void* payload() const noexcept { return payload_; }
  /// The table's counters; null when the record has none.
  const Pondo::Ptr<TableCounters>& tableCounters() const noexcept { return tableCounters_; }
  /// Drops the counters; holders of the counters keep them.
  void tableCountersDel() noexcept { tableCounters_.reset(); }

 private:
  Pondo::String context_;
  Pondo::String table_;
  void* payload_;
  Pondo::Ptr<TableCounters> tableCounters_;
};

}  // namespace Snmp
