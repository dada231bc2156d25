// Snmp/SnmpModule.h — the type module of the agent host's SNMP side.
///
/// Module "Snmp" registers, in this fixed order: `Snmp::TableCounters`, `Snmp::RegVoid`,
/// `Snmp::RegVoidCollByContext`. Plug-ins find the registry's type by its index when they
/// create the registry singleton, so the order never changes.
#pragma once

#include "Pondo/Types.h"
#include "Qel/Module.h"

namespace Snmp {

enum SnmpTypeIndex : U16 {
  tableCountersTypeIndex = 0,
  regVoidTypeIndex = 1,
  regVoidCollByContextTypeIndex = 2,
};

const Qel::Module& snmpModule();

}  // namespace Snmp
