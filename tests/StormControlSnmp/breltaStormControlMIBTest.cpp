// The SNMP table module inside net-snmp's agent library: registration per context, and whole
// requests from a manager session over the library's in-process callback transport, through
// the helper chain, the module's iterator callbacks and its handler.
#include "StormControlSnmp/breltaStormControlMIB.h"

#include <gtest/gtest.h>
// net-snmp wants its configuration header first.
#include <net-snmp/net-snmp-config.h>

#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>
#include <net-snmp/library/snmpCallbackDomain.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "Qel/Dir.h"
#include "Snmp/MibContext.h"
#include "Snmp/RegVoidCollByContext.h"
#include "SnmpUtil/SnmpUtil.h"
#include "TraceCapture.h"

namespace {

using Bridging::StormControl::IntfStatus;
using Bridging::StormControl::ThresholdType;
using TC = StormControlSnmp::StormControlTCType;
using Key = StormControlSnmp::StormControlIfTableKey;
using Oid = std::vector<oid>;
using Counter = Snmp::OrderedTableIteratorCounterTypes;
using Counts = std::array<U64, 6>;  // by event: hintNotFound, fromHint, fromStart, -, pastLast, row

const Oid tableOid = {1, 3, 6, 1, 4, 1, 32473, 3, 35, 1, 1};
constexpr const char* tableName = "breltaStormControlIfTable";
constexpr const char* mibName = "breltaStormControlMIB";

/// The agent library, set up once for the process, and a manager session reaching it over the
/// callback transport, which hands PDUs over unencoded: arcs beyond 32 bits arrive as sent.
class NetSnmpAgent : public ::testing::Environment {
 public:
  static inline netsnmp_session* manager = nullptr;

  void SetUp() override {
    for (int option : {NETSNMP_DS_LIB_DONT_READ_CONFIGS, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD,
                       NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE}) {
      netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, option, 1);
    }
    netsnmp_ds_set_int(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_OID_OUTPUT_FORMAT,
                       NETSNMP_OID_OUTPUT_NUMERIC);
    setenv("MIBS", "", 1);  // numeric OIDs only: load no MIB module
    init_agent("breltaStormControlMIBTest");
    init_snmp("breltaStormControlMIBTest");
    netsnmp_session* agent = netsnmp_callback_open(
        0, handle_snmp_packet, netsnmp_agent_check_packet, netsnmp_agent_check_parse);
    ASSERT_NE(agent, nullptr);
    manager = netsnmp_callback_open(agent->local_port, nullptr, nullptr, nullptr);
    ASSERT_NE(manager, nullptr);
  }
  void TearDown() override { snmp_shutdown("breltaStormControlMIBTest"); }
};

const auto* const agentEnvironment = ::testing::AddGlobalTestEnvironment(new NetSnmpAgent);

/// A status whose class i has level `level` + i, the given units and `drops` + 10 i drops.
Pondo::Ptr<const IntfStatus> makeStatus(U64 level, ThresholdType units, U64 drops) {
  IntfStatus::Classes c;
  for (auto* s : {&c.all, &c.broadcast, &c.multicast, &c.unknownUnicast}) {
    *s = {{level++, units, 1}, drops};
    drops += 10;
  }
  return Pondo::make<IntfStatus>("Ethernet1/1", c);
}

/// One variable of an answer: OID, type and value (integers and Counter64 as numbers).
struct Var {
  Oid name;
  int type;
  long long value = 0;
  bool operator==(const Var&) const = default;
};
void PrintTo(const Var& v, std::ostream* out) {
  *out << ::testing::PrintToString(v.name) << v.type << ':' << v.value;
}

/// Instance `index` of column `c` (just the column without an index).
Oid column(oid c, const Oid& index = {}) {
  Oid name = tableOid;
  name.insert(name.end(), {1, c});
  name.insert(name.end(), index.begin(), index.end());
  return name;
}

/// The database with the table entity at its path, traces of "Snmp", and requests to the agent.
class MibModuleTest : public ::testing::Test {
 protected:
  MibModuleTest() {
    mount_->entityIs(snmp_);
    snmp_->entityIs(storm_);
    storm_->entityIs(mib_);
    SnmpUtil::agentMountIs(mount_);
  }
  ~MibModuleTest() override {
    unregister_breltaStormControlMIB("");
    SnmpUtil::agentMountIs(nullptr);
  }

  Snmp::RegVoid* record(const char* context) {
    return Snmp::RegVoidCollByContext::instance()->regVoid(context, tableName).get();
  }
  /// Every counter of the default context's table, by event number.
  Counts counters() {
    Counts out{};
    for (unsigned e = 0; e < out.size(); ++e)
      out[e] = record("")->tableCounters()->orderedIterCntr(Counter(e));
    return out;
  }
  void addRows(std::initializer_list<Key> keys) {
    for (const Key& key : keys) mib_->stormControlIfTableIs(key, status_);
  }
  /// Whether a record at `level` holds `text`.
  bool traced(U16 level, const std::string& text) const {
    return std::any_of(traces_.records.begin(), traces_.records.end(), [&](const auto& r) {
      return r.level == level && r.text.find(text) != std::string::npos;
    });
  }

  /// Sends `command` for `names` (SET: the INTEGER 9 to each) past access control, as an
  /// AgentX master forwards it, and returns the answer's variables, its error status and index
  /// in `errorStatus_` and `errorIndex_`; no walk context may outlive the request.
  std::vector<Var> send(int command, const std::vector<Oid>& names, long maxRepetitions = 0) {
    netsnmp_pdu* pdu = snmp_pdu_create(command);
    pdu->version = SNMP_VERSION_2c;
    pdu->community = reinterpret_cast<u_char*>(strdup("public"));
    pdu->community_len = 6;
    pdu->flags |= UCD_MSG_FLAG_ALWAYS_IN_VIEW;
    if (command == SNMP_MSG_GETBULK) {
      pdu->non_repeaters = 0;  // shares its field with the error status, created as -1
      pdu->max_repetitions = maxRepetitions;
    }
    const long nine = 9;
    const bool set = command == SNMP_MSG_SET;
    for (const Oid& name : names) {
      snmp_pdu_add_variable(pdu, name.data(), name.size(), set ? ASN_INTEGER : ASN_NULL,
                            set ? &nine : nullptr, set ? sizeof nine : 0);
    }
    // The agent answers at once: the wait for the answer reads the agent's side too.
    netsnmp_pdu* response = nullptr;
    EXPECT_EQ(snmp_synch_response(NetSnmpAgent::manager, pdu, &response), STAT_SUCCESS);
    if (!response) return {};
    errorStatus_ = response->errstat;
    errorIndex_ = response->errindex;
    std::vector<Var> vars;
    for (auto* v = response->variables; v; v = v->next_variable) {
      const auto* c64 = v->type == ASN_COUNTER64 ? v->val.counter64 : nullptr;
      const long long value = c64                      ? (c64->high << 32) | c64->low
                              : v->type == ASN_INTEGER ? *v->val.integer
                                                       : 0;
      vars.push_back({Oid(v->name, v->name + v->name_length), v->type, value});
    }
    snmp_free_pdu(response);
    EXPECT_EQ(breltaStormControlIfTable_entry::memAllocationTracker_.liveObjects, 0u)
        << "a walk context outlived its request";
    return vars;
  }
  Var get(const Oid& name) { return send(SNMP_MSG_GET, {name}).at(0); }
  Oid next(const Oid& name) { return send(SNMP_MSG_GETNEXT, {name}).at(0).name; }
  /// The default context's registrations and column lists, the host's record and its note.
  auto served() {
    return std::tuple(breltaStormControlMIBHandlerRegsByContext().size(),
                      breltaStormControlMIBColumnInfosByContext().size(), record("") != nullptr,
                      Snmp::mibContextExists("", mibName));
  }

  Pondo::Ptr<Qel::Dir> mount_ = Pondo::make<Qel::Dir>("agent"),
                       snmp_ = Pondo::make<Qel::Dir>("snmp");
  Pondo::Ptr<Qel::Dir> storm_ = Pondo::make<Qel::Dir>("stormcontrol");
  Pondo::Ptr<StormControlSnmp::StormControlMib> mib_ =
      StormControlSnmp::stormControlMibFactory("stormcontrolmib");
  Pondo::Ptr<const IntfStatus> status_ = makeStatus(500, ThresholdType::packetsPerSecond, 40);
  TraceLevels levels_{"Snmp", 0xffff};
  TraceCapture traces_;
  long errorStatus_ = -1, errorIndex_ = -1;
};

// ======== registration ======================================================================

// The default context gets a read-only registration with the helper chain and the host's
// records, another context only the host's note; withdrawing a context takes its part down
// (twice is harmless) and leaves the other's; the default one can then be served afresh.
TEST_F(MibModuleTest, ContextsAreServedAndWithdrawn) {
  {
    TraceLevels only8("Snmp", 1u << 8);  // the OID, traced at level 1, is not even formatted
    init_breltaStormControlMIB("");
    ASSERT_EQ(traces_.records.size(), 1u);
    EXPECT_EQ(traces_.records[0].level, 8u);
  }
  init_breltaStormControlMIB("vrf-blue");
  EXPECT_TRUE(traced(2, "vrf-blue"));
  EXPECT_EQ(served(), std::tuple(1u, 1u, true, true));
  EXPECT_EQ(record("")->payload(), mib_.get());
  EXPECT_FALSE(record("vrf-blue"));
  EXPECT_TRUE(Snmp::mibContextExists("vrf-blue", mibName));
  unregister_breltaStormControlMIB("vrf-blue");
  EXPECT_FALSE(Snmp::mibContextExists("vrf-blue", mibName));
  EXPECT_EQ(served(), std::tuple(1u, 1u, true, true));

  addRows({Key(3, TC::all)});
  EXPECT_EQ(get(column(2, {3, 0})).value, 500);
  for (int round = 0; round < 2; ++round) {
    unregister_breltaStormControlMIB("");
    EXPECT_EQ(served(), std::tuple(0u, 0u, false, false));
    EXPECT_EQ(get(column(2, {3, 0})).type, SNMP_NOSUCHOBJECT);
  }
  init_breltaStormControlMIB("");
  EXPECT_TRUE(traced(1, ".1.3.6.1.4.1.32473.3.35.1.1"));
  EXPECT_EQ(get(column(2, {3, 0})).value, 500);
  EXPECT_EQ(counters(), (Counts{0, 1, 0, 0, 0, 0}));
}

using MibModuleDeathTest = MibModuleTest;

// A missing or mistyped table entity, and serving a context twice, are fatal and say why.
TEST_F(MibModuleDeathTest, BadEntityOrSecondRegistrationIsFatal) {
  storm_->entityDel("stormcontrolmib");
  EXPECT_DEATH(init_breltaStormControlMIB(""),
               "getEntityRelative\\( snmp/stormcontrol/stormcontrolmib \\)");
  storm_->entityIs(Pondo::make<Qel::Dir>("stormcontrolmib"));
  EXPECT_DEATH(init_breltaStormControlMIB(""), "not appear to be of type StormControlSnmp::Storm");
  storm_->entityDel("stormcontrolmib");
  storm_->entityIs(mib_);
  init_breltaStormControlMIB("");
  EXPECT_DEATH(init_breltaStormControlMIB(""), "result == MIB_REGISTERED_OK");
}

// ======== requests ==========================================================================

class RequestTest : public MibModuleTest {
 protected:
  RequestTest() { init_breltaStormControlMIB(""); }
};

// An empty table ends every walk at once. Then GET answers each column with its type and its
// class's value (units outside the enumeration read 0), noSuchInstance for a missing row (the
// handler skips it) and noSuchObject outside columns 2 to 4; GETNEXT steps from any point to
// the next instance or the end of the view; GETBULK walks every column in index order, an
// ifIndex of 2^31 or more by its unsigned value, to the end.
TEST_F(RequestTest, AnswersGetGetNextAndGetBulk) {
  EXPECT_EQ(send(SNMP_MSG_GETNEXT, {column(2)}).at(0).type, SNMP_ENDOFMIBVIEW);
  EXPECT_TRUE(traced(2, "at end"));
  addRows({Key(4294967295u, TC::all), Key(7, TC::broadcast), Key(2147483648u, TC::multicast)});
  mib_->stormControlIfTableIs(Key(3, TC::unknownUnicast), makeStatus(70, ThresholdType(7), 1));
  const std::vector<Var> got = {
      {column(2, {7, 1}), ASN_COUNTER64, 501}, {column(3, {7, 1}), ASN_INTEGER, 1},
      {column(4, {7, 1}), ASN_COUNTER64, 50},  {column(4, {3, 2}), SNMP_NOSUCHINSTANCE},
      {column(3, {3, 3}), ASN_INTEGER, 0},     {column(5, {7, 1}), SNMP_NOSUCHOBJECT},
      {column(1, {7, 1}), SNMP_NOSUCHOBJECT},  {column(4, {4294967295u, 0}), ASN_COUNTER64, 40}};
  std::vector<Oid> names;
  for (const Var& v : got) names.push_back(v.name);
  EXPECT_EQ(send(SNMP_MSG_GET, names), got);
  EXPECT_TRUE(traced(2, "already processed"));
  EXPECT_TRUE(traced(2, "{ifIndex=7, trafficClass=broadcast}"));
  EXPECT_FALSE(traced(0, ""));
  EXPECT_EQ(send(SNMP_MSG_GETNEXT, {column(4, {3, 0}), column(2, {7, 1}), column(3, {3}),
                                    column(4, {4294967295u, 0}), column(2, {9})}),
            (std::vector<Var>{{column(4, {3, 3}), ASN_COUNTER64, 31},
                              {column(2, {2147483648u, 2}), ASN_COUNTER64, 502},
                              {column(3, {3, 3}), ASN_INTEGER, 0},
                              {column(4, {4294967295u, 0}), SNMP_ENDOFMIBVIEW},
                              {column(2, {2147483648u, 2}), ASN_COUNTER64, 502}}));
  const Oid order[] = {{3, 3}, {7, 1}, {2147483648u, 2}, {4294967295u, 0}};
  const auto bulk = send(SNMP_MSG_GETBULK, {column(2)}, 1000);
  ASSERT_EQ(bulk.size(), 13u);  // twelve values, then the end of the view
  for (unsigned i = 0; i < 12; ++i) EXPECT_EQ(bulk[i].name, column(2 + i / 4, order[i % 4])) << i;
  EXPECT_EQ(bulk[12].type, SNMP_ENDOFMIBVIEW);
}

// GETNEXT starts where its index names a row, counted as such; an absent row, a partial index
// or an index out of range starts at the first row, the latter traced at level 0.
TEST_F(RequestTest, HintSelectsTheStart) {
  addRows({Key(3, TC::all), Key(5, TC::broadcast), Key(9, TC::all), Key(3000000000u, TC::all)});
  constexpr oid negative = ~oid{0} - 1294967295;  // read as -1294967296: 3000000000's 32 bits
  const struct {
    Oid from, to;  // the start, and the answer (none: the next column's first row)
    Counts counted;
    U16 traceLevel;
    std::string trace;
  } cases[] = {
      {{5, 1}, {9, 0}, {0, 1, 0, 0, 0, 1}, 2, "'5'"},
      {{3000000000u, 0}, {}, {0, 1, 1, 0, 1, 0}, 2, "'3000000000'"},
      {{negative, 0}, {}, {0, 1, 1, 0, 1, 0}, 2, "'3000000000'"},
      {{5, 2}, {9, 0}, {1, 0, 1, 0, 0, 2}, 2, "{ifIndex=5, trafficClass=multicast}"},
      {{5}, {5, 1}, {0, 0, 1, 0, 0, 1}, 2, "number_indexes = 1"},
      {{5, 1, 1}, {9, 0}, {0, 1, 0, 0, 0, 1}, 2, "'broadcast'"},
      {{5, 4}, {9, 0}, {0, 0, 1, 0, 0, 2}, 0, "StormControlTCType"},
      {{oid{1} << 63, 0}, {}, {0, 0, 2, 0, 1, 3}, 0, "ifIndex of breltaStormControlIfTable"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.from));
    traces_.records.clear();
    const Counts before = counters();
    EXPECT_EQ(next(column(2, c.from)), c.to.empty() ? column(3, {3, 0}) : column(2, c.to));
    Counts counted = counters();
    for (unsigned e = 0; e < counted.size(); ++e) counted[e] -= before[e];
    EXPECT_EQ(counted, c.counted);
    EXPECT_TRUE(traced(c.traceLevel, c.trace)) << c.trace;
    EXPECT_EQ(traced(0, ""), c.traceLevel == 0);
  }
}

// A GETNEXT walk paused on a row that is then removed goes on at the next row still present,
// and sees a row inserted behind it, not one inserted before.
TEST_F(RequestTest, WalkSurvivesChangesBetweenRequests) {
  addRows({Key(3, TC::all), Key(5, TC::all), Key(9, TC::all)});
  EXPECT_EQ(next(column(2, {3, 0})), column(2, {5, 0}));
  mib_->stormControlIfTableDel(Key(5, TC::all));
  addRows({Key(4, TC::all), Key(6, TC::all)});
  EXPECT_EQ(next(column(2, {5, 0})), column(2, {6, 0}));
  EXPECT_EQ(next(column(2, {6, 0})), column(2, {9, 0}));
}

// SET is refused twice over, each layer on its own: net-snmp refuses every variable of the
// read-only registration before any handler runs, and the handler refuses the first variable
// (traced at level 0) of a registration that would take writes. The table is untouched.
TEST_F(RequestTest, SetIsRefusedByRegistrationAndHandler) {
  addRows({Key(3, TC::all)});
  const std::vector<Oid> names = {column(4, {3, 0}), column(3, {3, 0})};
  for (bool writable : {false, true}) {
    SCOPED_TRACE(writable ? "writable registration" : "read-only registration");
    if (writable)
      breltaStormControlMIBHandlerRegsByContext().at("").front()->modes |= HANDLER_CAN_SET;
    traces_.records.clear();
    send(SNMP_MSG_SET, names);
    EXPECT_EQ(errorStatus_, SNMP_ERR_NOTWRITABLE);
    EXPECT_EQ(errorIndex_, 1);
    EXPECT_EQ(traced(0, "column 4"), writable);
    EXPECT_EQ(traced(2, "request mode"), writable) << "the handler runs only when writable";
    EXPECT_EQ(send(SNMP_MSG_GET, names),
              (std::vector<Var>{{names[0], ASN_COUNTER64, 40}, {names[1], ASN_INTEGER, 1}}));
  }
}

}  // namespace
