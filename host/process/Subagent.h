// host/process/Subagent.h — the daemon as an AgentX subagent of a master agent (--agentx).
///
/// A subagent does not listen: it connects to the master's AgentX socket and registers its
/// table there; the master answers the managers and forwards requests for the table over that
/// session. net-snmp's subagent code speaks the protocol and keeps the session alive:
/// - `init_snmp` makes the first attempt; when the master is not there it retries every ping
///   interval;
/// - once connected it pings the master every ping interval;
/// - when the master closes the session (it stopped or restarted) or leaves a ping unanswered,
///   it retries every ping interval, and on success registers everything again.
/// This class configures that, silences net-snmp's warning on every failed attempt and logs each
/// change of the connection with a line of its own instead. net-snmp waits for the master's
/// answers to those messages synchronously, so it also limits each wait to one timeout (1 s)
/// without retries: a master that accepts and does not answer stalls the daemon that long. Nothing
/// else depends on the connection: the state source and the table machine keep running while the
/// master is away, so the table is current when it comes back.
///
/// Order of use: `beforeInitAgent`, `init_agent`, `afterInitAgent`, `init_snmp`,
/// `afterInitSnmp`. One instance at a time (net-snmp's callbacks are process-wide).
#pragma once

#include <string>

#include "Pondo/Types.h"

namespace Host {

class Subagent {
 public:
  Subagent(std::string socket, U32 pingSeconds);
  ~Subagent();
  Subagent(const Subagent&) = delete;
  Subagent& operator=(const Subagent&) = delete;

  /// The subagent role and the master's socket, before `init_agent` reads them.
  void beforeInitAgent() const;
  /// The ping interval (`init_agent` sets net-snmp's default of 15 s, `init_snmp` uses it for
  /// the first attempt) and the connection callbacks.
  void afterInitAgent();
  /// Logs that the master is not there yet when the first attempt failed.
  void afterInitSnmp() const;

 private:
  static int onConnected(int major, int minor, void* serverArg, void* client);
  static int onDisconnected(int major, int minor, void* serverArg, void* client);

  std::string socket_;
  U32 pingSeconds_;
  bool connected_ = false;
};

}  // namespace Host
