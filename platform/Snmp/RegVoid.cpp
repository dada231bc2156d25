// Snmp/RegVoid.cpp — registry records.
#include "Snmp/RegVoid.h"

#include "Snmp/SnmpModule.h"

namespace Snmp {

const Qel::TypeData* RegVoid::typeData() const { return &fwkType(); }

const Qel::TypeData& RegVoid::fwkType() { return snmpModule().type(regVoidTypeIndex); }

}  // namespace Snmp
