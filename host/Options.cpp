// host/Options.cpp — command-line parsing of the agent daemon (getopt_long, no permutation).
#include "Options.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <getopt.h>

#include <charconv>
#include <cstring>
#include <iterator>

namespace Host {
namespace {

enum LongOption : int {
  listenOpt = 256,
  communityOpt,
  contextOpt,
  stateOpt,
  simulateOpt,
  simSlicesOpt,
  simIntervalOpt,
  simFlapOpt,
  traceOpt,
  pidFileOpt,
  pluginOpt,
  persistentDirOpt,
  notifyHolddownOpt,
  notifyStillOpt,
  agentxOpt,
  agentxPingOpt,
  helpOpt,
  versionOpt,
};

const option longOptions[] = {
    {"listen", required_argument, nullptr, listenOpt},
    {"community", required_argument, nullptr, communityOpt},
    {"context", required_argument, nullptr, contextOpt},
    {"state", required_argument, nullptr, stateOpt},
    {"simulate", required_argument, nullptr, simulateOpt},
    {"sim-slices", required_argument, nullptr, simSlicesOpt},
    {"sim-interval-ms", required_argument, nullptr, simIntervalOpt},
    {"sim-flap-ms", required_argument, nullptr, simFlapOpt},
    {"trace", required_argument, nullptr, traceOpt},
    {"pidfile", required_argument, nullptr, pidFileOpt},
    {"plugin", required_argument, nullptr, pluginOpt},
    {"persistent-dir", required_argument, nullptr, persistentDirOpt},
    {"notify-holddown-s", required_argument, nullptr, notifyHolddownOpt},
    {"notify-still-s", required_argument, nullptr, notifyStillOpt},
    {"agentx", required_argument, nullptr, agentxOpt},
    {"agentx-ping-s", required_argument, nullptr, agentxPingOpt},
    {"help", no_argument, nullptr, helpOpt},
    {"version", no_argument, nullptr, versionOpt},
    {nullptr, 0, nullptr, 0},
};

// '+': stop at the first non-option (there are no operands); ':': report missing values.
constexpr const char* shortOptions = "+:C:D:L:h";

/// The option's name as the user would write it, from getopt's value.
std::string optionName(int value) {
  if (value < 256) return std::string("-") + char(value);
  for (const option& o : longOptions) {
    if (o.name && o.val == value) return std::string("--") + o.name;
  }
  return "?";
}

bool parseU32(const char* text, U32 min, U32 max, U32& out) {
  const char* end = text + std::char_traits<char>::length(text);
  U32 value = 0;
  auto [ptr, ec] = std::from_chars(text, end, value);
  if (ec != std::errc() || ptr != end || text == end || value < min || value > max) return false;
  out = value;
  return true;
}

std::string rangeError(int option, const char* value, U32 min, U32 max) {
  return optionName(option) + ": '" + value + "' is not a whole number from " +
         std::to_string(min) + " to " + std::to_string(max);
}

/// Reads one level range "N" or "N-M" into `mask`.
bool parseLevelRange(std::string_view text, U16& mask) {
  const auto dash = text.find('-');
  const std::string_view first = text.substr(0, dash);
  const std::string_view last = dash == std::string_view::npos ? first : text.substr(dash + 1);
  U32 from = 0;
  U32 to = 0;
  if (!parseU32(std::string(first).c_str(), 0, 15, from)) return false;
  if (!parseU32(std::string(last).c_str(), 0, 15, to)) return false;
  if (from > to) return false;
  for (U32 level = from; level <= to; ++level) mask = U16(mask | (1u << level));
  return true;
}

}  // namespace

bool parseTraceSpec(const std::string& spec, std::vector<TraceLevel>& levels, std::string& error) {
  std::string_view rest = spec;
  while (!rest.empty()) {
    const auto comma = rest.find(',');
    const std::string_view item = rest.substr(0, comma);
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    const auto slash = item.find('/');
    if (slash == 0 || slash == std::string_view::npos) {
      error = "'" + std::string(item) + "' is not FACILITY/LEVELS";
      return false;
    }
    TraceLevel level{std::string(item.substr(0, slash)), 0};
    std::string_view ranges = item.substr(slash + 1);
    do {
      const auto plus = ranges.find('+');
      if (!parseLevelRange(ranges.substr(0, plus), level.mask)) {
        error = "'" + std::string(item) + "': levels are N or N-M from 0 to 15, joined with '+'";
        return false;
      }
      ranges = plus == std::string_view::npos ? std::string_view() : ranges.substr(plus + 1);
    } while (!ranges.empty());
    levels.push_back(std::move(level));
  }
  if (levels.empty()) {
    error = "no facility named: expected FACILITY/LEVELS[,...]";
    return false;
  }
  return true;
}

ParsedOptions parseOptions(int argc, char** argv) {
  ParsedOptions result;
  Options& o = result.options;
  auto fail = [&result](std::string message) {
    result.action = ParsedOptions::Action::fail;
    result.message = std::move(message);
    return result;
  };
  optind = 0;  // full re-initialisation of getopt's state
  opterr = 0;
  for (;;) {
    int longIndex = -1;
    const int c = getopt_long(argc, argv, shortOptions, longOptions, &longIndex);
    if (c == -1) break;
    switch (c) {
      case listenOpt:
        if (!*optarg) return fail("--listen: empty transport address");
        o.listen.emplace_back(optarg);
        break;
      case communityOpt:
        if (!*optarg ||
            std::string_view(optarg).find_first_of(" \t\"'#") != std::string_view::npos) {
          return fail(std::string("--community: '") + optarg +
                      "' is not a community name (empty, or blanks, quotes or '#')");
        }
        o.community = optarg;
        break;
      case contextOpt:
        if (!*optarg)
          return fail("--context: empty context name (the default context is always served)");
        o.contexts.emplace_back(optarg);
        break;
      case stateOpt:
        if (!*optarg) return fail("--state: empty file name");
        o.stateFile = optarg;
        break;
      case simulateOpt:
        if (!parseU32(optarg, 0, 1000000, o.simInterfaces)) {
          return fail(rangeError(c, optarg, 0, 1000000));
        }
        break;
      case simSlicesOpt:
        if (!parseU32(optarg, 1, 1024, o.simSlices)) return fail(rangeError(c, optarg, 1, 1024));
        break;
      case simIntervalOpt:
        if (!parseU32(optarg, 0, 86400000, o.simIntervalMs)) {
          return fail(rangeError(c, optarg, 0, 86400000));
        }
        break;
      case simFlapOpt:
        if (!parseU32(optarg, 0, 86400000, o.simFlapMs)) {
          return fail(rangeError(c, optarg, 0, 86400000));
        }
        break;
      case traceOpt: {
        std::vector<TraceLevel> levels;
        std::string error;
        if (!parseTraceSpec(optarg, levels, error)) return fail("--trace: " + error);
        o.trace = optarg;
        break;
      }
      case pidFileOpt:
        if (!*optarg) return fail("--pidfile: empty file name");
        o.pidFile = optarg;
        break;
      case pluginOpt:
        if (!*optarg) return fail("--plugin: empty path");
        o.plugin = optarg;
        break;
      case persistentDirOpt:
        if (!*optarg) return fail("--persistent-dir: empty path");
        o.persistentDir = optarg;
        break;
      case notifyHolddownOpt:
        if (!parseU32(optarg, 0, 86400, o.notifyHolddownS)) {
          return fail(rangeError(c, optarg, 0, 86400));
        }
        break;
      case notifyStillOpt:
        if (!parseU32(optarg, 1, 86400, o.notifyStillS))
          return fail(rangeError(c, optarg, 1, 86400));
        break;
      case 'D':
        if (!*optarg) return fail("-D: empty debug token list");
        o.debugTokens = optarg;
        break;
      case agentxOpt:
        if (!*optarg) return fail("--agentx: empty socket address");
        o.agentx = optarg;
        break;
      case agentxPingOpt:
        // net-snmp reconnects only with a ping interval, so 0 (no pings) is refused.
        if (!parseU32(optarg, 1, 86400, o.agentxPingS)) {
          return fail(rangeError(c, optarg, 1, 86400));
        }
        break;
      case 'C':
        if (!*optarg) return fail("-C: empty file name");
        o.configFile = optarg;
        break;
      case 'L':
        // net-snmp's own parser; it takes the FILE or FACILITY word of -Lf/-Ls from argv. It
        // prints its own complaint for a letter it does not know, so those are refused here.
        if (!*optarg || !std::strchr("eEoOnNfFsS", optarg[0]) ||
            snmp_log_options(optarg, argc, argv) != 0) {
          return fail(std::string("-L: invalid logging option '-L") + optarg + "'");
        }
        o.logConfigured = true;
        break;
      case 'h':
      case helpOpt:
        result.action = ParsedOptions::Action::help;
        return result;
      case versionOpt:
        result.action = ParsedOptions::Action::version;
        return result;
      case ':':
        return fail(optionName(optopt) + ": missing value");
      default:
        if (optopt != 0) return fail("unknown option '" + optionName(optopt) + "'");
        return fail(std::string("unknown option '") + argv[optind - 1] + "'");
    }
  }
  if (optind < argc) return fail(std::string("unexpected argument '") + argv[optind] + "'");
  if (!o.agentx.empty() && !o.listen.empty()) {
    return fail("--listen: a subagent (--agentx) does not listen; the master agent does");
  }
  return result;
}

std::string usage(const char* program) {
  return std::string("usage: ") + program + R"( [OPTION]...
Serves the storm-control table over SNMP, from a state file or a simulated switch.

  --listen SPEC          listen on SPEC (net-snmp transport syntax), repeatable;
                         default udp:127.0.0.1:1161
  --community NAME       read-only community accepted from 127.0.0.1; default public
  -C FILE                net-snmp configuration file (rocommunity, rouser, createUser,
                         agentaddress, ...); replaces the listen and community defaults;
                         its createUser lines are the only SNMPv3 users
  --context NAME         also initialise the MIB in context NAME (noted, not served), repeatable
  --state FILE           JSON state file, watched for changes; without it a switch is simulated
  --simulate N           simulator: N interfaces (default 48)
  --sim-slices S         simulator: S status entities (default 2)
  --sim-interval-ms MS   simulator: drop counters advance every MS ms (default 1000, 0 freezes)
  --sim-flap-ms MS       simulator: every MS ms an interface goes away and the one before
                         comes back with a new ifIndex (default 0: no flaps)
  --trace SPEC           trace levels per facility, e.g.
                         Snmp/0-9,StormControlIfTableSm/6-9,StormControlSnmpAgent/9
  -L...                  net-snmp logging: -Le (default), -Lo, -Lf FILE, -Ls FACILITY, ...
  --pidfile FILE         write the process id to FILE (removed at exit)
  --plugin PATH          the plug-in library (default: libStormControlSnmp.so beside the
                         platform's libraries, which this program's RUNPATH finds)
  --persistent-dir DIR   net-snmp's persistent state (SNMPv3 engine ID and boots), created
                         if missing; default $SNMP_PERSISTENT_DIR, else $STATE_DIRECTORY,
                         else /var/lib/stormcontrol-agent for root, else
                         ${XDG_STATE_HOME:-$HOME/.local/state}/stormcontrol-agent
  --notify-holddown-s S  send breltaStormControlDropsRising at most once per row every S
                         seconds (default 60, 0 for no hold-down)
  --notify-still-s S     a drop counter that has not risen for S seconds is still, and its
                         next rise is notified (default 5)
  -D TOKENS              net-snmp debug output for TOKENS (comma-separated, e.g. trap)
  --agentx SOCKET        serve as an AgentX subagent of the master agent at SOCKET
                         (/path, unix:/path or tcp:HOST:PORT) instead of listening
  --agentx-ping-s N      subagent: ping the master, and retry a lost or missing one,
                         every N s (1 to 86400, default 15)
  --help, --version

Signals: SIGHUP reloads the state file, SIGUSR1 logs counters, SIGUSR2 restarts the agent,
SIGTERM and SIGINT shut down.
)";
}

}  // namespace Host
