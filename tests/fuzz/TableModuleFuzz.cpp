// tests/fuzz/TableModuleFuzz.cpp — libFuzzer target: the table module inside the real agent.
///
/// The input is a program run against the module registered with net-snmp's agent library in
/// this process: rows added, replaced and removed, and requests with OIDs near the table's. A
/// request goes from a manager session to the agent's over the callback transport (the
/// in-process pipe of an AgentX subagent), through the agent's whole path: helper chain,
/// GETBULK's repetitions and reordering. A model of the table checks every answer, and that no
/// walk context outlives its request. The module's traces are all on, so their formatting runs.
///
/// The program is at most 64 operations, each a byte (modulo 5) and its operands: 0 add or
/// replace a row (ifIndex, class, status), 1 remove a row (ifIndex, class), 2 remove an
/// interface's rows (ifIndex), 3 add up to 32 interfaces (first ifIndex, count, classes),
/// 4 a request (command, number of OIDs, non-repeaters, max-repetitions, OIDs).
#include <net-snmp/net-snmp-config.h>

#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>
#include <net-snmp/library/snmpCallbackDomain.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Pondo/DebugHandler.h"
#include "Pondo/Trace.h"
#include "Qel/Dir.h"
#include "SnmpUtil/SnmpUtil.h"
#include "StormControlSnmp/breltaStormControlMIB.h"

namespace {

using Bridging::StormControl::ClassStatus;
using Bridging::StormControl::IntfStatus;
using Bridging::StormControl::Threshold;
using Bridging::StormControl::ThresholdType;
using StormControlSnmp::StormControlTCType;
using StormControlSnmp::stormControlTCTypes;
using Key = StormControlSnmp::StormControlIfTableKey;
using Oid = std::vector<oid>;

const Oid tableOid(StormControlSnmp::Contract::tableOid.begin(),
                   StormControlSnmp::Contract::tableOid.end());
constexpr U32 maxArc = 0xffffffffu;  // the largest sub-identifier BER carries
/// The agent's cap on a GETBULK answer's repeated values: it lowers max-repetitions to this
/// divided by the number of repeaters.
constexpr std::size_t maxBulkResponses = 100;

/// One variable of an answer; integers and Counter64 values as numbers.
struct VarBind {
  Oid name;
  int type = 0;
  U64 value = 0;
  bool operator==(const VarBind&) const = default;
};

std::string text(const Oid& name) {
  std::string out;
  for (const oid arc : name) out += "." + std::to_string(arc);
  return out;
}

std::string text(const VarBind& var) {
  return text(var.name) + " type " + std::to_string(var.type) + " = " + std::to_string(var.value);
}

[[noreturn]] void broken(const std::string& what) {
  std::fprintf(stderr, "broken promise: %s\n", what.c_str());
  std::abort();
}

/// The fuzz input read front to back; past its end every read is 0.
struct Program {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t at = 0;

  bool done() const noexcept { return at >= size; }
  std::uint8_t byte() { return at < size ? data[at++] : 0; }
  U64 bytes(unsigned count) {
    U64 value = 0;
    for (unsigned i = 0; i < count; ++i) value = (value << 8) | byte();
    return value;
  }

  /// An ifIndex: mostly values that collide, border on 2^31 or end the range.
  U32 ifIndex() {
    static constexpr U32 chosen[] = {
        1, 2, 3, 5, 8, 1000, 1001, 1002, 2147483647, 2147483648, 4294967294, 4294967295, 0};
    const std::uint8_t b = byte();
    const unsigned pick = b % 16;
    if (pick < std::size(chosen)) return chosen[pick];
    return pick == std::size(chosen) ? U32(bytes(4)) : U32(b >> 4) + 1;
  }
};

/// The table entity, registered with the agent library, and the model of what it serves: every
/// instance of columns 2 to 4 with the value it must read.
class Table {
 public:
  Table() {
    const auto mount = Pondo::make<Qel::Dir>("agent"), snmp = Pondo::make<Qel::Dir>("snmp"),
               storm = Pondo::make<Qel::Dir>("stormcontrol");
    mount->entityIs(snmp);
    snmp->entityIs(storm);
    storm->entityIs(mib_);
    SnmpUtil::agentMountIs(mount);
    init_breltaStormControlMIB("");
  }

  void clear() {
    mib_->stormControlIfTableDelAll();
    served_.clear();
  }

  /// Makes the row at `key` read `status`'s class, in an interface whose other classes are the
  /// defaults; the row is replaced when it exists.
  void rowIs(Key key, const ClassStatus& status) {
    Bridging::StormControl::Classes intf;
    intf.byClass[unsigned(key.trafficClass())] = status;
    mib_->stormControlIfTableReplace(key, Pondo::make<IntfStatus>("Ethernet1/1", intf));
    const auto units = U64(status.threshold.type);
    const U64 values[] = {
        Threshold::isEq(status.threshold, Threshold()) ? 0 : status.threshold.level,
        units <= 2 ? units : 0, status.drops};
    for (unsigned column = 2; column <= 4; ++column) {
      const Oid name = instance(column, key);
      served_[name] = {name, int(column == 3 ? ASN_INTEGER : ASN_COUNTER64), values[column - 2]};
    }
  }

  void rowDel(Key key) {
    mib_->stormControlIfTableDel(key);
    for (unsigned column = 2; column <= 4; ++column) served_.erase(instance(column, key));
  }

  /// The served instance `name`, or with `next` the first after it, with the value it must
  /// read; none when there is no such instance.
  std::optional<VarBind> served(const Oid& name, bool next) const {
    const auto it = next ? served_.upper_bound(name) : served_.find(name);
    return it == served_.end() ? std::nullopt : std::optional(it->second);
  }

  bool entityAgrees() const { return mib_->stormControlIfTable().count() * 3 == served_.size(); }

 private:
  static Oid instance(unsigned column, Key key) {
    Oid name = tableOid;
    name.insert(name.end(), {1, column, key.ifIndex(), oid(key.trafficClass())});
    return name;
  }

  Pondo::Ptr<StormControlSnmp::StormControlMib> mib_ =
      StormControlSnmp::stormControlMibFactory("stormcontrolmib");
  std::map<Oid, VarBind> served_;
};

struct Answer {
  long errorStatus = 0;
  long errorIndex = 0;
  std::vector<VarBind> vars;
};

/// The agent library, and a manager session connected to it over the callback transport. Made
/// once per process: net-snmp's agent cannot be set up twice.
netsnmp_session* openAgent() {
  for (const int flag :
       {NETSNMP_DS_LIB_DONT_READ_CONFIGS, NETSNMP_DS_LIB_DONT_PERSIST_STATE,
        NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE}) {
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, flag, 1);
  }
  netsnmp_ds_set_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_MAX_GETBULKRESPONSES,
                     int(maxBulkResponses));
  setenv("MIBS", "", 1);  // numeric OIDs only: load no MIB module
  init_agent("TableModuleFuzz");
  init_snmp("TableModuleFuzz");
  const netsnmp_session* agent = netsnmp_callback_open(
      0, handle_snmp_packet, netsnmp_agent_check_packet, netsnmp_agent_check_parse);
  return netsnmp_callback_open(agent->local_port, nullptr, nullptr, nullptr);
}

/// Sends `pdu` (taken) as its AgentX master forwards it past access control; the agent answers
/// at once, the wait for the answer reading its side too.
Answer send(netsnmp_session* manager, netsnmp_pdu* pdu) {
  pdu->version = SNMP_VERSION_2c;
  pdu->community = reinterpret_cast<u_char*>(strdup("public"));
  pdu->community_len = 6;
  pdu->flags |= UCD_MSG_FLAG_ALWAYS_IN_VIEW;
  netsnmp_pdu* response = nullptr;
  if (snmp_synch_response(manager, pdu, &response) != STAT_SUCCESS) broken("no answer");
  Answer answer{response->errstat, response->errindex, {}};
  for (netsnmp_variable_list* v = response->variables; v; v = v->next_variable) {
    VarBind& var =
        answer.vars.emplace_back(VarBind{Oid(v->name, v->name + v->name_length), v->type});
    if (v->type == ASN_INTEGER) var.value = U64(*v->val.integer);
    if (v->type == ASN_COUNTER64) {
      var.value = (U64(v->val.counter64->high) << 32) | v->val.counter64->low;
    }
  }
  snmp_free_pdu(response);
  return answer;
}

/// Drops every trace record: the traces are on for their formatting, not to be read.
class DiscardedTraces : public Pondo::TraceSink {
 public:
  DiscardedTraces() {
    Pondo::traceSinkIs(this);
    Pondo::Platform::getDebugHandler("Snmp", false)->levelMaskIs(0xffff);
  }
  void record(const Pondo::TraceRecord&) override {}
};

/// The agent with the module registered, kept for the process: the agent cannot restart.
struct Process : DiscardedTraces {
  netsnmp_session* manager = openAgent();
  Table table;
};

struct Request {
  int command;
  std::size_t nonRepeaters, maxRepetitions;
  std::vector<Oid> names;
};

/// An OID near the table's: a prefix of a column instance (the column, ifIndex and traffic
/// class each maybe out of range), its last arc maybe moved by one, then maybe extra arcs.
Oid nearTable(Program& program) {
  const std::size_t length = 2 + program.byte() % 14;
  Oid name = tableOid;
  name.push_back(1);
  name.push_back(program.byte() % 6);
  name.push_back(program.ifIndex());
  name.push_back(program.byte() % 6);
  name.resize(length);
  const std::uint8_t change = program.byte();
  if (change % 4 == 1 && name.back() > 0) --name.back();
  if (change % 4 == 2 && name.back() < maxArc) ++name.back();
  for (unsigned extra = (change >> 2) % 4; extra > 0; --extra) {
    const std::uint8_t arc = program.byte();
    name.push_back(arc < 0xf0 ? arc % 8 : U32(program.bytes(4)));
  }
  return name;
}

/// What is wrong with variable `i` of an answer, or nothing. For a GET of `at`: the value at
/// `at` or an exception. For a step of a walk from `at`: the next served instance, or
/// endOfMibView, named `at` when `endNamed`.
std::string wrongVar(const Table& table, const Oid& at, const VarBind& got, std::size_t i,
                     bool step, bool endNamed = true) {
  const std::string where = "answer " + std::to_string(i) + ": ";
  if (!step && got.name != at) return where + "another name";
  const std::optional<VarBind> want = table.served(at, step);
  if (want) return got == *want ? "" : where + "expected " + text(*want);
  if (step && got.type == SNMP_ENDOFMIBVIEW && (!endNamed || got.name == at)) return {};
  if (!step && (got.type == SNMP_NOSUCHOBJECT || got.type == SNMP_NOSUCHINSTANCE)) return {};
  return where + (step ? "not endOfMibView at " + text(at) : "not an exception");
}

/// The non-repeaters as GETNEXT, then whole repetitions, each stepping every repeater on from
/// its answer in the previous one, up to max-repetitions or the end of the view for all.
std::string wrongGetBulk(const Table& table, const Request& request, const Answer& answer) {
  const std::size_t fixed = std::min(request.nonRepeaters, request.names.size());
  const std::size_t repeaters = request.names.size() - fixed;
  if (answer.vars.size() < fixed) return "GETBULK lost non-repeaters";
  const std::size_t repeated = answer.vars.size() - fixed;
  if (repeaters == 0) return repeated == 0 ? "" : "GETBULK repeated without repeaters";
  const std::size_t repetitions = std::min(request.maxRepetitions, maxBulkResponses / repeaters);
  if (repeated % repeaters != 0 || repeated / repeaters > repetitions) {
    return "GETBULK answered a partial or extra repetition";
  }
  // Where each walk stands: the request, then its last answer; a walk that reached the end of
  // the view stays there. An endOfMibView's name is not checked: net-snmp 5.9 may give a
  // non-repeater's the column past the table's last, and a repeater's in the first repetition
  // the request's variable at the repeater's index among the repeaters.
  std::vector<Oid> at = request.names;
  for (std::size_t i = 0; i < answer.vars.size(); ++i) {
    Oid& walk = at[i < fixed ? i : fixed + (i - fixed) % repeaters];
    const VarBind& got = answer.vars[i];
    if (std::string fault = wrongVar(table, walk, got, i, true, false); !fault.empty()) {
      return fault;
    }
    if (got.type != SNMP_ENDOFMIBVIEW) walk = got.name;
  }
  if (repeated / repeaters == repetitions) return {};
  if (repeated == 0) return "GETBULK answered no repetition";
  // It ends early after a repetition that found the end of the view everywhere; net-snmp 5.9
  // looks at all repeaters but the last (with one repeater, at that one).
  const auto last = answer.vars.end() - std::ptrdiff_t(repeaters);
  const bool ended =
      std::all_of(last, last + std::ptrdiff_t(std::max<std::size_t>(repeaters - 1, 1)),
                  [](const VarBind& var) { return var.type == SNMP_ENDOFMIBVIEW; });
  return ended ? "" : "GETBULK stopped before the end of the view";
}

/// A SET is refused whatever it names, with notWritable when it names only served instances,
/// and the table is untouched. Every other request succeeds.
std::string wrongAnswer(const Table& table, const Request& request, const Answer& answer) {
  const std::vector<Oid>& names = request.names;
  const std::string kind = snmp_pdu_type(request.command);
  if (request.command == SNMP_MSG_SET) {
    if (answer.errorStatus == SNMP_ERR_NOERROR) return "SET accepted";
    if (answer.errorIndex < 1 || answer.errorIndex > long(names.size())) {
      return "SET refused without naming a variable";
    }
    if (!table.entityAgrees()) return "SET changed the table";
    const bool allServed = std::all_of(names.begin(), names.end(), [&](const Oid& name) {
      return bool(table.served(name, false));
    });
    return allServed && answer.errorStatus != SNMP_ERR_NOTWRITABLE ? "SET not notWritable" : "";
  }
  if (answer.errorStatus != SNMP_ERR_NOERROR) return kind + " failed";
  if (request.command == SNMP_MSG_GETBULK) return wrongGetBulk(table, request, answer);
  if (answer.vars.size() != names.size()) return kind + " answered another number of variables";
  const bool step = request.command == SNMP_MSG_GETNEXT;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (std::string fault = wrongVar(table, names[i], answer.vars[i], i, step); !fault.empty()) {
      return fault;
    }
  }
  return {};
}

void request(Process& process, Program& program) {
  static constexpr int commands[] = {SNMP_MSG_GET, SNMP_MSG_GETNEXT, SNMP_MSG_GETBULK,
                                     SNMP_MSG_SET};
  const int command = commands[program.byte() % 4];
  const std::size_t count = 1 + program.byte() % 8;
  const std::size_t nonRepeaters = program.byte() % 4;
  const std::size_t maxRepetitions = program.byte() % 16;
  Request request{command, nonRepeaters, maxRepetitions, {}};
  netsnmp_pdu* pdu = snmp_pdu_create(command);
  const bool set = command == SNMP_MSG_SET;
  const long value = 9;
  for (std::size_t i = 0; i < count; ++i) {
    const Oid& name = request.names.emplace_back(nearTable(program));
    snmp_pdu_add_variable(pdu, name.data(), name.size(), set ? ASN_INTEGER : ASN_NULL,
                          set ? reinterpret_cast<const u_char*>(&value) : nullptr,
                          set ? sizeof value : 0);
  }
  if (command == SNMP_MSG_GETBULK) {
    pdu->non_repeaters = long(nonRepeaters);
    pdu->max_repetitions = long(maxRepetitions);
  }
  const Answer answer = send(process.manager, pdu);
  const std::string fault = breltaStormControlIfTable_entry::memAllocationTracker_.liveObjects != 0
                                ? "a walk context outlived its request"
                                : wrongAnswer(process.table, request, answer);
  if (fault.empty()) return;
  std::string out = fault + "\nrequest:";
  for (const Oid& name : request.names) out += "\n  " + text(name);
  out += "\nanswer, error status " + std::to_string(answer.errorStatus) + ":";
  for (const VarBind& var : answer.vars) out += "\n  " + text(var);
  broken(out);
}

Key rowKey(Program& program) {
  const U32 ifIndex = program.ifIndex();
  return Key(ifIndex, StormControlTCType(program.byte() % 4));
}

/// A class status: the default threshold, or one of any level, units (3: outside the
/// enumeration) and scale; any drop count.
ClassStatus classStatus(Program& program) {
  ClassStatus status;
  if (program.byte() % 4 != 0) {
    status.threshold.level = program.bytes(8);
    status.threshold.type = ThresholdType(program.byte() % 4);
    status.threshold.scale = program.byte();
  }
  status.drops = program.bytes(8);
  return status;
}

/// Up to 32 interfaces from an ifIndex on, with the classes of a mask, each value distinct.
void fill(Table& table, Program& program) {
  const U32 first = program.ifIndex();
  const unsigned count = 1 + program.byte() % 32;
  const unsigned mask = 1 + program.byte() % 15;
  for (unsigned i = 0; i < count && first + U64(i) <= maxArc; ++i) {
    for (const StormControlTCType c : stormControlTCTypes) {
      if (!(mask & (1u << unsigned(c)))) continue;
      const Threshold threshold{1000 + U64(i), ThresholdType(i % 3), 4};
      table.rowIs(Key(first + i, c), {threshold, U64(i) * 4 + unsigned(c)});
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Process& process = *new Process;
  Table& table = process.table;
  Program program{data, size};
  table.clear();
  for (std::size_t ops = 0; !program.done() && ops < 64; ++ops) {
    switch (program.byte() % 5) {
      case 0: {
        const Key key = rowKey(program);
        table.rowIs(key, classStatus(program));
        break;
      }
      case 1:
        table.rowDel(rowKey(program));
        break;
      case 2:
        for (const U32 ifIndex = program.ifIndex();
             const StormControlTCType c : stormControlTCTypes) {
          table.rowDel(Key(ifIndex, c));
        }
        break;
      case 3:
        fill(table, program);
        break;
      default:
        request(process, program);
    }
  }
  return 0;
}
