// host/switchstate/StateSource.h — what publishes the switch's state into the plug-in's inputs.
///
/// Two sources exist: a JSON state file, watched and re-applied as it changes (here), and a
/// simulated switch whose drop counters advance on a timer (Simulator.h). Both publish through the
/// models' own mutators, so the plug-in receives the change notifications it would receive on a
/// switch. Timers and file descriptors use net-snmp's alarm and external-fd facilities, which the
/// daemon's loop drives; long work runs as tasks on the inputs' scheduler.
#pragma once

#include <memory>
#include <string>

#include "SwitchInputs.h"

namespace Host {

/// Publishes the switch's state into the inputs: from a state file or simulated.
class StateSource {
 public:
  virtual ~StateSource() = default;
  /// Starts publishing; large states continue in task runs. False, with `error` set to the
  /// one-line message, when the state is refused (nothing published then).
  virtual bool start(std::string& error) = 0;
  /// SIGHUP: re-reads the file (the simulator logs that it has none).
  virtual void reload() = 0;
};

/// The state file at `path` as the daemon's state source.
std::unique_ptr<StateSource> stateFileSource(const SwitchInputs& inputs, std::string path);

}  // namespace Host
