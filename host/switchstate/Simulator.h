// host/switchstate/Simulator.h — a simulated switch publishing its storm-control state.
///
/// Interface `i` (from 0) is `Ethernet<m>/<p>` with module m = i / 48 + 1 and port
/// p = i % 48 + 1, and has ifIndex m * 1000 + p, as a modular switch numbers its ports
/// (Ethernet1/1 is 1001; no ifIndex reaches 2^31 below 2 million modules). The interfaces are
/// spread in consecutive blocks over the status entities "slice0", "slice1", ... of the slice
/// directory. Every fourth interface keeps the model's default thresholds; the others have
/// some classes configured, with their own levels and units.
///
/// Storms come and go: an interface with configured classes drops packets for `stormRounds`
/// rounds out of every `stormCycle`, at a phase of its own (its ordinal), and its counters stay
/// still in between. Every interval a round advances the drop counters of the configured
/// classes of each interface in a storm by publishing a new `IntfStatus` for it, as a switch's
/// platform does (status objects are immutable). A round runs as a task that yields when the
/// scheduler asks; a tick arriving while a round is under way asks for one more round after it, so
/// ticks never pile up. Ticks come from net-snmp's alarms, which the daemon's loop runs.
///
/// Interfaces flap when asked (`flapMs`): every flap brings back the interface the previous
/// one took away, then takes the next one away, in ordinal order round the switch. Going away
/// withdraws its status, then its ifIndex; coming back gives it a fresh ifIndex (counting up
/// from the one after the last port's, so none is ever used twice), then publishes its status
/// again, drop counters as they were. At most one interface is away at a time. Each step is
/// traced at level 1 of the facility "Simulator" (`Ethernet1/1 down, ifIndex 1001 withdrawn`,
/// `Ethernet1/1 up, new ifIndex 1049`).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "Bridging/Status.h"
#include "Pondo/DebugHandler.h"
#include "Pondo/Publisher.h"
#include "StateSource.h"
#include "Velo/Job.h"

namespace Host {

struct SimulatorOptions {
  U32 interfaces = 48;
  U32 slices = 2;
  U32 intervalMs = 1000;
  U32 flapMs = 0;  // an interface flaps this often; 0: never
};

class Simulator {
 public:
  static constexpr U32 portsPerModule = 48;
  static constexpr Velo::TaskPriority taskPriority = 2;
  static constexpr U32 stormCycle = 20;
  static constexpr U32 stormRounds = 5;

  Simulator(const SwitchInputs& inputs, const SimulatorOptions& options);
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  /// Publishes every interface and status entity, then starts the timers (none for a zero
  /// interval).
  void start();
  /// Starts a round of counter advances, or asks for one more after the current round.
  void tick();
  /// Brings back the interface taken away last, then takes the next one away.
  void flap();
  /// Rounds completed.
  U64 rounds() const noexcept { return rounds_; }
  /// Flaps made.
  U64 flaps() const noexcept { return flaps_; }

  static std::string intfName(U32 ordinal);
  static U32 ifIndex(U32 ordinal);
  /// Whether interface `ordinal` drops packets in round `round` (from 0).
  static bool storming(U32 ordinal, U64 round) {
    return (round + ordinal) % stormCycle < stormRounds;
  }
  static std::string sliceName(U32 slice);
  /// The status an interface starts with: defaults for every fourth, configured classes else.
  static Bridging::StormControl::Classes initialClasses(U32 ordinal);

 private:
  struct Port {
    Pondo::String name;
    Pondo::Ptr<Bridging::StormControl::Status> status;
    U32 ordinal;
  };

  /// An interface taken away, with the status it had.
  struct Away {
    U32 ordinal;
    Pondo::Ptr<const Bridging::StormControl::IntfStatus> status;
  };

  static void alarm(unsigned int registration, void* self);
  static void flapAlarm(unsigned int registration, void* self);
  void onRun();
  /// Advances the counters of one interface by publishing a new status object.
  void advance(const Port& port);
  /// The status entity covering interface `ordinal`; null when there are none.
  Pondo::Ptr<Bridging::StormControl::Status> statusOf(U32 ordinal) const;
  void takeAway(U32 ordinal);
  void bringBack(const Away& away);

  SwitchInputs inputs_;
  SimulatorOptions options_;
  std::vector<Pondo::Ptr<Bridging::StormControl::Status>> slices_;
  std::vector<Port> ports_;  // only interfaces with configured classes
  Velo::Job job_{this, Velo::memberStep<&Simulator::onRun>};
  std::size_t next_ = 0;  // the next port of the current round
  bool roundActive_ = false;
  bool roundOwed_ = false;
  U64 rounds_ = 0;
  unsigned int alarm_ = 0;
  std::optional<Away> away_;
  U32 nextIfIndex_ = 0;  // the ifIndex the next interface to come back gets
  U64 flaps_ = 0;
  unsigned int flapAlarm_ = 0;
  Pondo::Ptr<Pondo::Platform::DebugHandler> trace_ =
      Pondo::Platform::getDebugHandler(Pondo::String("Simulator"), false);
};

/// The simulator as the daemon's state source (a reload only logs that there is nothing to read).
std::unique_ptr<StateSource> simulatorSource(const SwitchInputs& inputs,
                                             const SimulatorOptions& options);

}  // namespace Host
