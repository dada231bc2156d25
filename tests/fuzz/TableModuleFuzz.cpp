// tests/fuzz/TableModuleFuzz.cpp — libFuzzer target: the table module inside the real agent.
///
/// The input is a small program run against the module registered with net-snmp's agent
/// library in this process: rows added, replaced and removed in the table entity, and requests
/// (GET, GETNEXT, GETBULK, SET) with OIDs built from arcs near the table's. Each request goes
/// from a manager session to the agent's session over net-snmp's callback transport, the
/// in-process pipe its AgentX subagent uses, and through the agent's whole path (helper chain,
/// GETBULK's repetitions and reordering). The program keeps a model of the table, and every
/// answer is checked against it:
/// - GET: a served instance has its row's value and type; anything else is an exception;
/// - GETNEXT: the least served instance after the request, else endOfMibView;
/// - GETBULK: the non-repeaters as GETNEXT, then each repetition steps every repeater on from
///   its previous answer; fewer repetitions than asked only after the end of the view;
/// - SET: refused, the table untouched;
/// - no walk context outlives its request.
/// Traces of the module are all on (and dropped), so their formatting runs too. A broken
/// promise aborts with a description, which libFuzzer reports as a crash.
///
/// The program is a list of at most 64 operations, each a byte (modulo 5) and its operands:
/// 0 add or replace a row (ifIndex, class, status), 1 remove a row (ifIndex, class), 2 remove
/// an interface's rows (ifIndex), 3 add up to 32 interfaces (first ifIndex, count, classes),
/// 4 a request (command, number of OIDs, non-repeaters, max-repetitions, OIDs). `Program` and
/// `nearTable` say how the operands are read.
#include <net-snmp/net-snmp-config.h>

#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>
#include <net-snmp/library/snmpCallbackDomain.h>
#include <sys/select.h>

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
using StormControlSnmp::StormControlMib;
using StormControlSnmp::StormControlTCType;
using Key = StormControlSnmp::StormControlIfTableKey;
using Oid = std::vector<oid>;

const Oid tableOid = {1, 3, 6, 1, 4, 1, 32473, 3, 35, 1, 1};
constexpr unsigned firstColumn = 2;
constexpr unsigned lastColumn = 4;
constexpr U32 maxArc = 0xffffffffu;  // the largest sub-identifier BER carries
constexpr std::size_t maxOps = 64;
/// The agent's cap on the repeated values of a GETBULK answer: it lowers max-repetitions to
/// this divided by the number of repeaters.
constexpr int maxBulkResponses = 100;

std::string text(const Oid& name) {
  std::string out;
  for (const oid arc : name) out += "." + std::to_string(arc);
  return out;
}

/// One variable of an answer; integers and Counter64 values as numbers.
struct VarBind {
  Oid name;
  int type = 0;
  U64 value = 0;
};

std::string text(const VarBind& var) {
  return text(var.name) + " type " + std::to_string(var.type) + " = " + std::to_string(var.value);
}

[[noreturn]] void broken(const std::string& what) {
  std::fprintf(stderr, "broken promise: %s\n", what.c_str());
  std::abort();
}

void check(bool holds, const std::string& what) {
  if (!holds) broken(what);
}

// ======== input =============================================================================

/// The fuzz input read front to back; past its end every read is 0.
class Program {
 public:
  Program(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool done() const noexcept { return at_ >= size_; }
  std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  U32 u32() { return U32(bytes(4)); }
  U64 u64() { return bytes(8); }

  /// An ifIndex: mostly values that collide, border on 2^31 or end the range.
  U32 ifIndex() {
    static constexpr U32 chosen[] = {
        1, 2, 3, 5, 8, 1000, 1001, 1002, 2147483647, 2147483648, 4294967294, 4294967295, 0};
    const std::uint8_t b = byte();
    const unsigned pick = b % 16;
    if (pick < std::size(chosen)) return chosen[pick];
    if (pick == std::size(chosen)) return u32();
    return U32(b >> 4) + 1;
  }

 private:
  U64 bytes(unsigned count) {
    U64 value = 0;
    for (unsigned i = 0; i < count; ++i) value = (value << 8) | byte();
    return value;
  }

  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// ======== the table and its model ===========================================================

/// The values a row's columns 2, 3 and 4 must read.
struct RowValues {
  U64 level;
  long units;
  U64 drops;
};

ClassStatus& classOf(IntfStatus::Classes& classes, StormControlTCType trafficClass) {
  switch (trafficClass) {
    case StormControlTCType::all:
      return classes.all;
    case StormControlTCType::broadcast:
      return classes.broadcast;
    case StormControlTCType::multicast:
      return classes.multicast;
    case StormControlTCType::unknownUnicast:
      break;
  }
  return classes.unknownUnicast;
}

/// The table entity, registered with the agent library, and the rows it should hold.
class Table {
 public:
  Table() {
    mount_->entityIs(snmp_);
    snmp_->entityIs(storm_);
    storm_->entityIs(mib_);
    SnmpUtil::agentMountIs(mount_);
    init_breltaStormControlMIB("");
  }

  void clear() {
    mib_->stormControlIfTableDelAll();
    rows_.clear();
    served_.clear();
  }

  /// Makes the row at `key` read `status`'s class; the row is replaced when it exists.
  void rowIs(Key key, const ClassStatus& status) {
    IntfStatus::Classes classes;
    classOf(classes, key.trafficClass()) = status;
    mib_->stormControlIfTableReplace(key, Pondo::make<IntfStatus>("Ethernet1/1", classes));
    const bool isDefault = Threshold::isEq(status.threshold, Threshold());
    const auto units = static_cast<long>(status.threshold.type);
    rows_[key] = {isDefault ? 0 : status.threshold.level, units <= 2 ? units : 0, status.drops};
    served_.clear();
  }

  void rowDel(Key key) {
    mib_->stormControlIfTableDel(key);
    rows_.erase(key);
    served_.clear();
  }

  /// The instance a served OID names: its key and column.
  struct Instance {
    Key key;
    unsigned column;
  };

  /// Every served instance in OID order.
  const std::map<Oid, Instance>& served() {
    if (served_.empty()) {
      for (unsigned column = firstColumn; column <= lastColumn; ++column) {
        for (const auto& [key, values] : rows_) {
          served_.emplace(instance(column, key), Instance{key, column});
        }
      }
    }
    return served_;
  }

  /// The value `name` must read, when it is a served instance.
  std::optional<VarBind> valueAt(const Oid& name) {
    const auto it = served().find(name);
    if (it == served().end()) return std::nullopt;
    return valueOf(it);
  }

  /// The served instance after `name` and its value, or none at the end of the table.
  std::optional<VarBind> nextAfter(const Oid& name) {
    const auto it = served().upper_bound(name);
    if (it == served().end()) return std::nullopt;
    return valueOf(it);
  }

  std::size_t size() const noexcept { return rows_.size(); }
  std::size_t entityRows() const { return mib_->stormControlIfTable().count(); }

  static Oid instance(unsigned column, Key key) {
    Oid name = tableOid;
    name.insert(name.end(), {1, column, key.ifIndex(), oid(key.trafficClass())});
    return name;
  }

 private:
  VarBind valueOf(std::map<Oid, Instance>::const_iterator it) const {
    const RowValues& values = rows_.at(it->second.key);
    switch (it->second.column) {
      case 2:
        return {it->first, ASN_COUNTER64, values.level};
      case 3:
        return {it->first, ASN_INTEGER, U64(values.units)};
      default:
        return {it->first, ASN_COUNTER64, values.drops};
    }
  }

  Pondo::Ptr<Qel::Dir> mount_ = Pondo::make<Qel::Dir>("agent");
  Pondo::Ptr<Qel::Dir> snmp_ = Pondo::make<Qel::Dir>("snmp");
  Pondo::Ptr<Qel::Dir> storm_ = Pondo::make<Qel::Dir>("stormcontrol");
  Pondo::Ptr<StormControlMib> mib_ = StormControlSnmp::stormControlMibFactory("stormcontrolmib");
  std::map<Key, RowValues> rows_;
  std::map<Oid, Instance> served_;  // made on demand from `rows_`
};

// ======== the agent =========================================================================

/// An answer to one request.
struct Answer {
  long errorStatus = 0;
  long errorIndex = 0;
  std::vector<VarBind> vars;
};

/// The agent library with the module registered, and a manager session connected to it over
/// the callback transport. Made once per process: net-snmp's agent cannot be set up twice.
class Agent {
 public:
  Agent() {
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_PERSIST_STATE, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_ROLE, 0);
    netsnmp_ds_set_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_MAX_GETBULKRESPONSES,
                       maxBulkResponses);
    setenv("MIBS", "", 1);  // numeric OIDs only: load no MIB module
    init_agent("TableModuleFuzz");
    init_snmp("TableModuleFuzz");
    agentSession_ = netsnmp_callback_open(0, handle_snmp_packet, netsnmp_agent_check_packet,
                                          netsnmp_agent_check_parse);
    check(agentSession_ != nullptr, "cannot open the agent's callback session");
    managerSession_ = netsnmp_callback_open(agentSession_->local_port, nullptr, nullptr, nullptr);
    check(managerSession_ != nullptr, "cannot open the manager's callback session");
  }

  /// Sends `pdu` (taken) and runs the agent until the answer arrives.
  Answer send(netsnmp_pdu* pdu) {
    pdu->version = SNMP_VERSION_2c;
    pdu->community = reinterpret_cast<u_char*>(strdup("public"));
    pdu->community_len = 6;
    // Past the agent's access control, as a request its AgentX master forwards.
    pdu->flags |= UCD_MSG_FLAG_ALWAYS_IN_VIEW;
    Exchange exchange;
    if (snmp_async_send(managerSession_, pdu, &Exchange::received, &exchange) == 0) {
      snmp_free_pdu(pdu);
      broken("the request cannot be sent");
    }
    for (int idle = 0; !exchange.done && idle < 10;) {
      if (!pump()) ++idle;
    }
    check(exchange.done, "no answer");
    return exchange.answer;
  }

 private:
  struct Exchange {
    bool done = false;
    Answer answer;

    static int received(int op, netsnmp_session*, int, netsnmp_pdu* pdu, void* magic) {
      auto* self = static_cast<Exchange*>(magic);
      self->done = true;
      check(op == NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE, "the request timed out");
      self->answer.errorStatus = pdu->errstat;
      self->answer.errorIndex = pdu->errindex;
      for (netsnmp_variable_list* v = pdu->variables; v; v = v->next_variable) {
        VarBind var{Oid(v->name, v->name + v->name_length), v->type, 0};
        if (v->type == ASN_INTEGER) var.value = U64(*v->val.integer);
        if (v->type == ASN_COUNTER64) {
          var.value = (U64(v->val.counter64->high) << 32) | v->val.counter64->low;
        }
        self->answer.vars.push_back(var);
      }
      return 1;
    }
  };

  /// One turn of the agent's loop; false when nothing was ready within a second.
  static bool pump() {
    int fds = 0, block = 0;
    fd_set readable;
    FD_ZERO(&readable);
    timeval timeout{1, 0};
    snmp_select_info(&fds, &readable, &timeout, &block);
    timeout = {1, 0};
    const bool ready = select(fds, &readable, nullptr, nullptr, &timeout) > 0;
    if (ready) snmp_read(&readable);
    netsnmp_check_outstanding_agent_requests();
    return ready;
  }

  netsnmp_session* agentSession_ = nullptr;
  netsnmp_session* managerSession_ = nullptr;
};

/// Drops every trace record: the traces are on for their formatting, not to be read.
class DiscardedTraces : public Pondo::TraceSink {
 public:
  DiscardedTraces() {
    Pondo::traceSinkIs(this);
    Pondo::Platform::getDebugHandler("Snmp", false)->levelMaskIs(0xffff);
  }
  void record(const Pondo::TraceRecord&) override {}
};

struct Process {
  DiscardedTraces traces;
  Agent agent;
  Table table;
};

// ======== requests ==========================================================================

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
    name.push_back(arc < 0xf0 ? arc % 8 : program.u32());
  }
  return name;
}

/// The request and its answer, for a broken promise's description.
std::string context(const std::vector<Oid>& names, const Answer& answer) {
  std::string out = "\nrequest:";
  for (const Oid& name : names) out += "\n  " + text(name);
  out += "\nanswer, error status " + std::to_string(answer.errorStatus) + ":";
  for (const VarBind& var : answer.vars) out += "\n  " + text(var);
  return out;
}

// Each check below returns what is wrong with an answer, or nothing.

/// Answer `position` to a GETNEXT of `request`: the next served instance with its value, or
/// endOfMibView, named as the request when `endNamed`.
std::string wrongNext(Table& table, const Oid& request, const VarBind& got, std::size_t position,
                      bool endNamed = true) {
  const std::optional<VarBind> want = table.nextAfter(request);
  if (!want) {
    if (got.type == SNMP_ENDOFMIBVIEW && (!endNamed || got.name == request)) return {};
    return "answer " + std::to_string(position) + ": not endOfMibView at " + text(request);
  }
  if (got.name == want->name && got.type == want->type && got.value == want->value) return {};
  return "answer " + std::to_string(position) + ": expected " + text(*want);
}

std::string wrongGet(Table& table, const std::vector<Oid>& names, const Answer& answer) {
  if (answer.errorStatus != SNMP_ERR_NOERROR) return "GET failed";
  if (answer.vars.size() != names.size()) return "GET answered another number of variables";
  for (std::size_t i = 0; i < names.size(); ++i) {
    const VarBind& got = answer.vars[i];
    const std::string at = "answer " + std::to_string(i) + ": ";
    if (got.name != names[i]) return at + "another name";
    const std::optional<VarBind> want = table.valueAt(names[i]);
    if (!want && got.type != SNMP_NOSUCHOBJECT && got.type != SNMP_NOSUCHINSTANCE) {
      return at + "not an exception";
    }
    if (want && (got.type != want->type || got.value != want->value)) {
      return at + "expected " + text(*want);
    }
  }
  return {};
}

std::string wrongGetNext(Table& table, const std::vector<Oid>& names, const Answer& answer) {
  if (answer.errorStatus != SNMP_ERR_NOERROR) return "GETNEXT failed";
  if (answer.vars.size() != names.size()) return "GETNEXT answered another number of variables";
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (std::string fault = wrongNext(table, names[i], answer.vars[i], i); !fault.empty()) {
      return fault;
    }
  }
  return {};
}

/// The non-repeaters as GETNEXT, then whole repetitions, each stepping every repeater on from
/// its answer in the previous one, up to `maxRepetitions` or the end of the view for all.
std::string wrongGetBulk(Table& table, const std::vector<Oid>& names, std::size_t nonRepeaters,
                         std::size_t maxRepetitions, const Answer& answer) {
  if (answer.errorStatus != SNMP_ERR_NOERROR) return "GETBULK failed";
  const std::size_t fixed = std::min(nonRepeaters, names.size());
  const std::size_t repeaters = names.size() - fixed;
  if (answer.vars.size() < fixed) return "GETBULK lost non-repeaters";
  const std::size_t repeated = answer.vars.size() - fixed;
  if (repeaters == 0) return repeated == 0 ? std::string() : "GETBULK repeated without repeaters";
  const std::size_t repetitions =
      std::min(maxRepetitions, std::size_t(maxBulkResponses) / repeaters);
  if (repeated % repeaters != 0 || repeated / repeaters > repetitions) {
    return "GETBULK answered a partial or extra repetition";
  }
  // Where each walk stands: the request, then its answer in the last repetition; a walk that
  // reached the end of the view stays there. The name of an endOfMibView is not checked:
  // net-snmp 5.9 may give a non-repeater's the column past the table's last, and a repeater's
  // in the first repetition the request's variable at the repeater's index among the repeaters.
  std::vector<Oid> at(names.begin(), names.end());
  for (std::size_t i = 0; i < answer.vars.size(); ++i) {
    const std::size_t walk = i < fixed ? i : fixed + (i - fixed) % repeaters;
    const VarBind& got = answer.vars[i];
    if (std::string fault = wrongNext(table, at[walk], got, i, false); !fault.empty()) {
      return fault;
    }
    if (got.type != SNMP_ENDOFMIBVIEW) at[walk] = got.name;
  }
  if (repeated / repeaters == repetitions) return {};
  if (repeated == 0) return "GETBULK answered no repetition";
  // It ends early after a repetition that found the end of the view everywhere; net-snmp 5.9
  // looks at all repeaters but the last (with one repeater, at that one).
  const auto last = answer.vars.end() - std::ptrdiff_t(repeaters);
  const bool ended =
      std::all_of(last, last + std::ptrdiff_t(std::max<std::size_t>(repeaters - 1, 1)),
                  [](const VarBind& var) { return var.type == SNMP_ENDOFMIBVIEW; });
  return ended ? std::string() : "GETBULK stopped before the end of the view";
}

/// A SET is refused whatever it names, with notWritable when it names only served instances,
/// and the table is untouched.
std::string wrongSet(Table& table, const std::vector<Oid>& names, const Answer& answer) {
  if (answer.errorStatus == SNMP_ERR_NOERROR) return "SET accepted";
  if (answer.errorIndex < 1 || answer.errorIndex > long(names.size())) {
    return "SET refused without naming a variable";
  }
  if (table.entityRows() != table.size()) return "SET changed the table";
  const bool allServed = std::all_of(
      names.begin(), names.end(), [&](const Oid& name) { return table.valueAt(name).has_value(); });
  if (allServed && answer.errorStatus != SNMP_ERR_NOTWRITABLE) return "SET not notWritable";
  return {};
}

void request(Process& process, Program& program) {
  static constexpr int commands[] = {SNMP_MSG_GET, SNMP_MSG_GETNEXT, SNMP_MSG_GETBULK,
                                     SNMP_MSG_SET};
  const int command = commands[program.byte() % 4];
  const std::size_t count = 1 + program.byte() % 8;
  const std::size_t nonRepeaters = program.byte() % 4;
  const std::size_t maxRepetitions = program.byte() % 16;
  std::vector<Oid> names;
  netsnmp_pdu* pdu = snmp_pdu_create(command);
  for (std::size_t i = 0; i < count; ++i) {
    names.push_back(nearTable(program));
    if (command == SNMP_MSG_SET) {
      const long value = 9;
      snmp_pdu_add_variable(pdu, names.back().data(), names.back().size(), ASN_INTEGER,
                            reinterpret_cast<const u_char*>(&value), sizeof value);
    } else {
      snmp_add_null_var(pdu, names.back().data(), names.back().size());
    }
  }
  if (command == SNMP_MSG_GETBULK) {
    pdu->non_repeaters = long(nonRepeaters);
    pdu->max_repetitions = long(maxRepetitions);
  }
  const Answer answer = process.agent.send(pdu);
  if (breltaStormControlIfTable_entry::memAllocationTracker_.liveObjects != 0) {
    broken("a walk context outlived its request" + context(names, answer));
  }
  std::string fault;
  switch (command) {
    case SNMP_MSG_GET:
      fault = wrongGet(process.table, names, answer);
      break;
    case SNMP_MSG_GETNEXT:
      fault = wrongGetNext(process.table, names, answer);
      break;
    case SNMP_MSG_GETBULK:
      fault = wrongGetBulk(process.table, names, nonRepeaters, maxRepetitions, answer);
      break;
    default:
      fault = wrongSet(process.table, names, answer);
  }
  if (!fault.empty()) broken(fault + context(names, answer));
}

// ======== table changes =====================================================================

/// A row's key: the ifIndex, then the traffic class.
Key rowKey(Program& program) {
  const U32 ifIndex = program.ifIndex();
  return Key(ifIndex, StormControlTCType(program.byte() % 4));
}

/// A class status: the default threshold, or one of any level, units (3: outside the
/// enumeration) and scale; any drop count.
ClassStatus classStatus(Program& program) {
  ClassStatus status;
  if (program.byte() % 4 != 0) {
    status.threshold.level = program.u64();
    status.threshold.type = ThresholdType(program.byte() % 4);
    status.threshold.scale = program.byte();
  }
  status.drops = program.u64();
  return status;
}

/// Up to 32 interfaces from an ifIndex on, with the classes of a mask, each value distinct.
void fill(Table& table, Program& program) {
  const U32 first = program.ifIndex();
  const unsigned count = 1 + program.byte() % 32;
  const unsigned mask = 1 + program.byte() % 15;
  for (unsigned i = 0; i < count && first + U64(i) <= maxArc; ++i) {
    for (const StormControlTCType c : StormControlSnmp::stormControlTCTypes) {
      if (!(mask & (1u << unsigned(c)))) continue;
      ClassStatus status;
      status.threshold = {1000 + U64(i), ThresholdType(i % 3), 4};
      status.drops = U64(i) * 4 + unsigned(c);
      table.rowIs(Key(first + i, c), status);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Process& process = *new Process;  // kept for the process: the agent cannot restart
  Program program(data, size);
  process.table.clear();
  for (std::size_t ops = 0; !program.done() && ops < maxOps; ++ops) {
    switch (program.byte() % 5) {
      case 0: {
        const Key key = rowKey(program);
        process.table.rowIs(key, classStatus(program));
        break;
      }
      case 1:
        process.table.rowDel(rowKey(program));
        break;
      case 2: {
        const U32 ifIndex = program.ifIndex();
        for (const StormControlTCType c : StormControlSnmp::stormControlTCTypes) {
          process.table.rowDel(Key(ifIndex, c));
        }
        break;
      }
      case 3:
        fill(process.table, program);
        break;
      default:
        request(process, program);
    }
  }
  return 0;
}
