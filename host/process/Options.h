// host/process/Options.h — the agent daemon's command line.
///
/// `parseOptions` reads the whole command line once. It never exits: a bad option or value
/// yields `Action::fail` with one line naming the option, which the caller prints before
/// exiting with status 2. net-snmp's `-L` logging options are handed to net-snmp's own
/// `snmp_log_options` as they are met, so they take effect during parsing.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "Pondo/Types.h"

namespace Host {

struct Options {
  std::vector<std::string> listen;    // --listen, repeatable; empty: the default or -C's
  std::string community;              // --community, read-only, from 127.0.0.1; empty: default
  std::string configFile;             // -C: a net-snmp configuration file
  std::vector<std::string> contexts;  // --context, repeatable; the default context "" is implicit
  std::string stateFile;              // --state; empty: the simulator
  U32 simInterfaces = 48;             // --simulate
  U32 simSlices = 2;                  // --sim-slices
  U32 simIntervalMs = 1000;           // --sim-interval-ms
  U32 simFlapMs = 0;                  // --sim-flap-ms; 0: no flaps
  std::string trace;                  // --trace, e.g. "Snmp/0-9,StormControlSnmpAgent/9"
  bool logConfigured = false;         // an -L option was given
  std::string pidFile;                // --pidfile
  std::string plugin;                 // --plugin; empty: beside the platform's libraries
  std::string persistentDir;          // --persistent-dir; empty: the default (PersistentDir.h)
  U32 notifyHolddownS = 60;   // --notify-holddown-s: one notification per row at most this often
  U32 notifyStillS = 5;       // --notify-still-s: a counter still this long starts rising anew
  std::string debugTokens;    // -D: net-snmp debug tokens
  std::string agentx;         // --agentx: the master's AgentX socket; empty: a master agent
  U32 agentxPingS = 15;       // --agentx-ping-s: ping and reconnect interval
  std::optional<bool> ifMib;  // --if-mib; unset: on when listening, off for a subagent
};

struct ParsedOptions {
  enum class Action { run, help, version, fail };
  Action action = Action::run;
  Options options;
  std::string message;  // the one-line error for `fail`
};

ParsedOptions parseOptions(int argc, char** argv);
/// The text of --help.
std::string usage(const char* program);

/// One facility's trace levels from --trace.
struct TraceLevel {
  std::string facility;
  U16 mask;
};
/// Parses "Facility/LEVELS,..." where LEVELS is N or N-M (0 to 15), joined with '+' for
/// several; false, with `error` set, when the text does not parse.
bool parseTraceSpec(const std::string& spec, std::vector<TraceLevel>& levels, std::string& error);

}  // namespace Host
