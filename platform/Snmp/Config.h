// Snmp/Config.h — the agent's configuration as the host hands it to plug-ins.
///
/// One `Config` per process (`SnmpUtil::getSnmpConfig()`); plug-ins only pass it on. It carries
/// no settings yet and never changes once made.
#pragma once

#include "Pondo/Node.h"
#include "Pondo/Ptr.h"
#include "Pooly/Slab.h"

namespace Snmp {

class Config : public Pondo::Node, public Pooly::Slab<Config> {
 public:
  static inline Pooly::AllocTracker memAllocationTracker_{"Snmp::Config"};
  using PtrConst = Pondo::Ptr<const Config>;
};

}  // namespace Snmp
