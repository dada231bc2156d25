// Snmp/TableCounters.cpp — per-table event counters.
#include "Snmp/TableCounters.h"

#include "Snmp/SnmpModule.h"

namespace Snmp {

const Qel::TypeData* TableCounters::typeData() const { return &fwkType(); }

const Qel::TypeData& TableCounters::fwkType() { return snmpModule().type(tableCountersTypeIndex); }

}  // namespace Snmp
