// host/process/Options.cpp — command-line parsing of the agent daemon (getopt_long, no
// permutation).
///
/// Every option is one row of `optionTable`: its name, how its value is taken and checked, and
/// its lines in --help. getopt's tables and the usage text are derived from the rows, so an
/// option is added in one row (and its member of `Options`).
#include "Options.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <getopt.h>

#include <charconv>
#include <cstring>
#include <variant>

namespace Host {
namespace {

/// A text value that must not be empty; `empty` completes the error for an empty one.
struct Text {
  std::string Options::*member;
  const char* empty;
};
/// A repeatable text value, none empty.
struct List {
  std::vector<std::string> Options::*member;
  const char* empty;
};
/// A whole number from `min` to `max`.
struct Number {
  U32 Options::*member;
  U32 min;
  U32 max;
};
/// A value with checks of its own: returns the error after the option's name, or "".
using Check = std::string (*)(Options&, const char* value, int argc, char** argv);
using Take = std::variant<Text, List, Number, Check, ParsedOptions::Action>;

struct OptionRow {
  const char* name;   // one letter: -N; longer: --name
  const char* value;  // its value's name in --help; nullptr: takes none
  Take take;
  const char* help;  // lines in --help after the option (continued with '\n'); nullptr: none
};

std::string checkCommunity(Options& o, const char* value, int, char**) {
  if (!*value || std::string_view(value).find_first_of(" \t\"'#") != std::string_view::npos) {
    return std::string("'") + value + "' is not a community name (empty, or blanks, quotes or '#')";
  }
  o.community = value;
  return "";
}

std::string checkTrace(Options& o, const char* value, int, char**) {
  std::vector<TraceLevel> levels;
  std::string error;
  if (!parseTraceSpec(value, levels, error)) return error;
  o.trace = value;
  return "";
}

/// net-snmp's own parser, which takes the FILE or FACILITY word of -Lf/-Ls from argv. It prints
/// its own complaint for a letter it does not know, so those are refused first.
std::string checkLogging(Options& o, const char* value, int argc, char** argv) {
  if (!*value || !std::strchr("eEoOnNfFsS", value[0]) ||
      snmp_log_options(const_cast<char*>(value), argc, argv) != 0) {
    return std::string("invalid logging option '-L") + value + "'";
  }
  o.logConfigured = true;
  return "";
}

std::string checkIfMib(Options& o, const char* value, int, char**) {
  const std::string_view v = value;
  if (v != "on" && v != "off") return std::string("'") + value + "' is neither on nor off";
  o.ifMib = v == "on";
  return "";
}

constexpr U32 day_s = 86400;
constexpr U32 day_ms = 86400000;

const OptionRow optionTable[] = {
    {"listen", "SPEC", List{&Options::listen, "empty transport address"},
     "listen on SPEC (net-snmp transport syntax), repeatable;\n"
     "default udp:127.0.0.1:1161"},
    {"community", "NAME", Check{checkCommunity},
     "read-only community accepted from 127.0.0.1; default public"},
    {"C", "FILE", Text{&Options::configFile, "empty file name"},
     "net-snmp configuration file (rocommunity, rouser, createUser,\n"
     "agentaddress, ...); replaces the listen and community defaults;\n"
     "its createUser lines are the only SNMPv3 users"},
    {"context", "NAME",
     List{&Options::contexts, "empty context name (the default context is always served)"},
     "also initialise the MIB in context NAME (noted, not served), repeatable"},
    {"state", "FILE", Text{&Options::stateFile, "empty file name"},
     "JSON state file, watched for changes; without it a switch is simulated"},
    {"simulate", "N", Number{&Options::simInterfaces, 0, 1000000},
     "simulator: N interfaces (default 48)"},
    {"sim-slices", "S", Number{&Options::simSlices, 1, 1024},
     "simulator: S status entities (default 2)"},
    {"sim-interval-ms", "MS", Number{&Options::simIntervalMs, 0, day_ms},
     "simulator: drop counters advance every MS ms (default 1000, 0 freezes)"},
    {"sim-flap-ms", "MS", Number{&Options::simFlapMs, 0, day_ms},
     "simulator: every MS ms an interface goes away and the one before\n"
     "comes back with a new ifIndex (default 0: no flaps)"},
    {"trace", "SPEC", Check{checkTrace},
     "trace levels per facility, e.g.\n"
     "Snmp/0-9,StormControlIfTableSm/6-9,StormControlSnmpAgent/9"},
    {"L", "...", Check{checkLogging},
     "net-snmp logging: -Le (default), -Lo, -Lf FILE, -Ls FACILITY, ..."},
    {"pidfile", "FILE", Text{&Options::pidFile, "empty file name"},
     "write the process id to FILE (removed at exit)"},
    {"plugin", "PATH", Text{&Options::plugin, "empty path"},
     "the plug-in library (default: libStormControlSnmp.so beside the\n"
     "platform's libraries, which this program's RUNPATH finds)"},
    {"persistent-dir", "DIR", Text{&Options::persistentDir, "empty path"},
     "net-snmp's persistent state (SNMPv3 engine ID and boots), created\n"
     "if missing; default $SNMP_PERSISTENT_DIR, else $STATE_DIRECTORY,\n"
     "else /var/lib/stormcontrol-agent for root, else\n"
     "${XDG_STATE_HOME:-$HOME/.local/state}/stormcontrol-agent"},
    {"notify-holddown-s", "S", Number{&Options::notifyHolddownS, 0, day_s},
     "send breltaStormControlDropsRising at most once per row every S\n"
     "seconds (default 60, 0 for no hold-down)"},
    {"notify-still-s", "S", Number{&Options::notifyStillS, 1, day_s},
     "a drop counter that has not risen for S seconds is still, and its\n"
     "next rise is notified (default 5)"},
    {"D", "TOKENS", Text{&Options::debugTokens, "empty debug token list"},
     "net-snmp debug output for TOKENS (comma-separated, e.g. trap)"},
    {"agentx", "SOCKET", Text{&Options::agentx, "empty socket address"},
     "serve as an AgentX subagent of the master agent at SOCKET\n"
     "(/path, unix:/path or tcp:HOST:PORT) instead of listening"},
    // net-snmp reconnects only with a ping interval, so 0 (no pings) is refused.
    {"agentx-ping-s", "N", Number{&Options::agentxPingS, 1, day_s},
     "subagent: ping the master, and retry a lost or missing one,\n"
     "every N s (1 to 86400, default 15)"},
    {"if-mib", "on|off", Check{checkIfMib},
     "serve IF-MIB's ifNumber, ifIndex, ifDescr and ifName of the\n"
     "interfaces (default on; off for a subagent, whose master serves IF-MIB)"},
    {"help", nullptr, ParsedOptions::Action::help, nullptr},
    {"h", nullptr, ParsedOptions::Action::help, nullptr},
    {"version", nullptr, ParsedOptions::Action::version, nullptr},
};
constexpr int rowCount = int(std::size(optionTable));
// getopt's value of a long option: its row, past the values of the one-letter options.
constexpr int longBase = 256;

bool isShort(const OptionRow& row) { return row.name[1] == '\0'; }

std::string displayName(const OptionRow& row) {
  return (isShort(row) ? "-" : "--") + std::string(row.name);
}

/// The row getopt's value names; nullptr for none.
const OptionRow* rowOf(int value) {
  if (value >= longBase)
    return value - longBase < rowCount ? &optionTable[value - longBase] : nullptr;
  for (const OptionRow& row : optionTable) {
    if (isShort(row) && row.name[0] == value) return &row;
  }
  return nullptr;
}

std::string optionName(int value) {
  const OptionRow* row = rowOf(value);
  return row ? displayName(*row) : std::string("-") + char(value);
}

const option* longOptions() {
  static const std::vector<option> options = [] {
    std::vector<option> v;
    for (int i = 0; i < rowCount; ++i) {
      const OptionRow& row = optionTable[i];
      if (isShort(row)) continue;
      v.push_back({row.name, row.value ? required_argument : no_argument, nullptr, longBase + i});
    }
    v.push_back({nullptr, 0, nullptr, 0});
    return v;
  }();
  return options.data();
}

const char* shortOptions() {
  // '+': stop at the first non-option (there are no operands); ':': report missing values.
  static const std::string options = [] {
    std::string s = "+:";
    for (const OptionRow& row : optionTable) {
      if (!isShort(row)) continue;
      s += row.name[0];
      if (row.value) s += ':';
    }
    return s;
  }();
  return options.c_str();
}

bool parseU32(std::string_view text, U32 min, U32 max, U32& out) {
  U32 value = 0;
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || ptr != text.data() + text.size() || text.empty() || value < min ||
      value > max) {
    return false;
  }
  out = value;
  return true;
}

/// Reads one level range "N" or "N-M" into `mask`.
bool parseLevelRange(std::string_view text, U16& mask) {
  const auto dash = text.find('-');
  const std::string_view first = text.substr(0, dash);
  const std::string_view last = dash == std::string_view::npos ? first : text.substr(dash + 1);
  U32 from = 0;
  U32 to = 0;
  if (!parseU32(first, 0, 15, from) || !parseU32(last, 0, 15, to) || from > to) return false;
  for (U32 level = from; level <= to; ++level) mask = U16(mask | (1u << level));
  return true;
}

/// Takes `value` for `row` into `o`; the error after the option's name, or "".
std::string take(const OptionRow& row, Options& o, const char* value, int argc, char** argv) {
  struct Visitor {
    Options& o;
    const char* value;
    int argc;
    char** argv;
    std::string operator()(const Text& t) const {
      if (!*value) return t.empty;
      o.*t.member = value;
      return "";
    }
    std::string operator()(const List& l) const {
      if (!*value) return l.empty;
      (o.*l.member).emplace_back(value);
      return "";
    }
    std::string operator()(const Number& n) const {
      if (parseU32(value, n.min, n.max, o.*n.member)) return "";
      return std::string("'") + value + "' is not a whole number from " + std::to_string(n.min) +
             " to " + std::to_string(n.max);
    }
    std::string operator()(Check check) const { return check(o, value, argc, argv); }
    std::string operator()(ParsedOptions::Action) const { return ""; }
  };
  return std::visit(Visitor{o, value, argc, argv}, row.take);
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
  auto fail = [&result](std::string message) {
    result.action = ParsedOptions::Action::fail;
    result.message = std::move(message);
    return result;
  };
  optind = 0;  // full re-initialisation of getopt's state
  opterr = 0;
  for (int c; (c = getopt_long(argc, argv, shortOptions(), longOptions(), nullptr)) != -1;) {
    if (c == ':') return fail(optionName(optopt) + ": missing value");
    const OptionRow* row = rowOf(c);
    if (!row) {
      if (optopt != 0) return fail("unknown option '" + optionName(optopt) + "'");
      return fail(std::string("unknown option '") + argv[optind - 1] + "'");
    }
    if (const auto* action = std::get_if<ParsedOptions::Action>(&row->take)) {
      result.action = *action;
      return result;
    }
    const std::string error = take(*row, result.options, optarg, argc, argv);
    if (!error.empty()) return fail(displayName(*row) + ": " + error);
  }
  if (optind < argc) return fail(std::string("unexpected argument '") + argv[optind] + "'");
  if (!result.options.agentx.empty() && !result.options.listen.empty()) {
    return fail("--listen: a subagent (--agentx) does not listen; the master agent does");
  }
  return result;
}

std::string usage(const char* program) {
  constexpr std::size_t helpColumn = 25;
  std::string text = std::string("Usage: ") + program +
                     " [OPTION]...\n"
                     "Serves the storm-control table over SNMP, from a state file or a simulated "
                     "switch.\n\n";
  for (const OptionRow& row : optionTable) {
    if (!row.help) continue;
    std::string left = "  " + displayName(row);
    // -L's letters follow it without a blank ("-L..."); other values follow a blank.
    if (row.value) left += (row.value[0] == '.' ? "" : " ") + std::string(row.value);
    left.resize(std::max(helpColumn, left.size() + 1), ' ');
    text += left;
    for (const char* h = row.help; *h; ++h) {
      text += *h;
      if (*h == '\n') text.append(helpColumn, ' ');
    }
    text += '\n';
  }
  text +=
      "  --help, --version\n\n"
      "Signals: SIGHUP reloads the state file, SIGUSR1 logs counters, SIGUSR2 restarts the agent,\n"
      "SIGTERM and SIGINT shut down.\n";
  return text;
}

}  // namespace Host
