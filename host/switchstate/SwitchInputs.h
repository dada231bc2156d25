// host/switchstate/SwitchInputs.h — the two inputs of the plug-in's machine and the scheduler they
// share.
///
/// The state database owns these entities; whoever publishes the switch's state (a state file
/// or the simulator) writes into them, and the plug-in's agent reads them. One thread.
#pragma once

#include "IntfSnmp/IfMib.h"
#include "Pondo/Ptr.h"
#include "Qel/Dir.h"
#include "Velo/TaskScheduler.h"

namespace Host {

/// The two inputs of the plug-in's machine, owned by the state database.
struct SwitchInputs {
  Pondo::Ptr<Qel::Dir> slice;  // entities: Bridging::StormControl::Status
  Pondo::Ptr<IntfSnmp::IfMib> ifMib;
  Pondo::Ptr<Velo::TaskScheduler> scheduler;
};

}  // namespace Host
