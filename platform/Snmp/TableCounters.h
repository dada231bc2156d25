// Snmp/TableCounters.h — per-table event counters of the agent host.
///
/// A plug-in that walks an ordered table for get-first and get-next requests counts here what
/// each request met (`OrderedTableIteratorCounterTypes`); the host and its tests read the
/// counts. One `TableCounters` belongs to one registry record (`Snmp::RegVoid`). Counts only
/// grow (modulo 2^64).
#pragma once

#include <array>

#include "Pondo/Assert.h"
#include "Pondo/Node.h"
#include "Pooly/Slab.h"
#include "Qel/TypeData.h"

namespace Snmp {

/// Events of a get-first / get-next walk over an ordered table.
enum class OrderedTableIteratorCounterTypes : U8 {
  getFirstHintNotFound = 0,   // get-first: the hinted key is not in the table
  getFirstFromHint = 1,       // get-first: the walk starts at the hinted row
  getFirstFromStart = 2,      // get-first: the walk starts at the first row
  getNextWithoutContext = 3,  // get-next: no loop context, or already past the end
  getNextPastLast = 4,        // get-next: stepped past the last row
  getNextRow = 5,             // get-next: reached a row
};
inline constexpr unsigned orderedTableIteratorCounterTypeCount = 6;

class TableCounters : public Pondo::Node, public Pooly::Slab<TableCounters> {
 public:
  static inline Pooly::AllocTracker memAllocationTracker_{"Snmp::TableCounters"};

  virtual const Qel::TypeData* typeData() const;
  static const Qel::TypeData& fwkType();

  /// Adds `count` to the counter of `type`; `type` must be one of the enumerators. Inline: a
  /// walk counts on every value.
  void orderedIterCntrsInc(OrderedTableIteratorCounterTypes type, unsigned long count) {
    orderedIterCntrs_[slot(type)] += count;
  }
  U64 orderedIterCntr(OrderedTableIteratorCounterTypes type) const {
    return orderedIterCntrs_[slot(type)];
  }

 private:
  static unsigned slot(OrderedTableIteratorCounterTypes type) {
    const unsigned index = static_cast<unsigned>(type);
    PONDO_ASSERT_MSG(index < orderedTableIteratorCounterTypeCount,
                     "ordered-table iterator counter type out of range");
    return index;
  }

  std::array<U64, orderedTableIteratorCounterTypeCount> orderedIterCntrs_{};
};

}  // namespace Snmp
