// host/switchstate/StateSource.h — what publishes the switch's state into the plug-in's inputs.
///
/// Two sources exist: a JSON state file, watched and re-applied as it changes, and a simulated
/// switch whose drop counters advance on a timer. Both publish through the models' own
/// mutators, so the plug-in receives the change notifications it would receive on a switch.
/// Timers and file descriptors use net-snmp's alarm and external-fd facilities, which the
/// daemon's loop drives; long work runs as tasks on the inputs' scheduler.
#pragma once

#include <memory>
#include <string>

#include "Pondo/Types.h"
#include "SwitchInputs.h"

namespace Host {

struct SimulatorOptions {
  U32 interfaces = 48;
  U32 slices = 2;
  U32 intervalMs = 1000;
  U32 flapMs = 0;  // an interface flaps this often; 0: never
};

/// Publishes the switch's state into the inputs: from a state file or simulated.
class StateSource {
 public:
  virtual ~StateSource() = default;
  /// Starts publishing; large states continue in task runs. False, with `error` set to the
  /// one-line message, when the state is refused (nothing published then).
  virtual bool start(std::string& error) = 0;
  /// SIGHUP: re-reads the file (the simulator ignores it).
  virtual void reload() = 0;
};

std::unique_ptr<StateSource> stateFileSource(const SwitchInputs& inputs, std::string path);
std::unique_ptr<StateSource> simulatorSource(const SwitchInputs& inputs,
                                             const SimulatorOptions& options);

}  // namespace Host
