// Snmp/TableCounters.cpp — per-table event counters.
#include "Snmp/TableCounters.h"

#include "Pondo/Assert.h"
#include "Snmp/SnmpModule.h"

namespace Snmp {

const Qel::TypeData* TableCounters::typeData() const { return &fwkType(); }

const Qel::TypeData& TableCounters::fwkType() { return snmpModule().type(tableCountersTypeIndex); }

void TableCounters::orderedIterCntrsInc(OrderedTableIteratorCounterTypes type,
                                        unsigned long count) {
  orderedIterCntrs_[slot(type)] += count;
}

U64 TableCounters::orderedIterCntr(OrderedTableIteratorCounterTypes type) const {
  return orderedIterCntrs_[slot(type)];
}

unsigned TableCounters::slot(OrderedTableIteratorCounterTypes type) {
  const unsigned index = static_cast<unsigned>(type);
  PONDO_ASSERT_MSG(index < orderedTableIteratorCounterTypeCount,
                   "ordered-table iterator counter type out of range");
  return index;
}

}  // namespace Snmp
