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
#include <sys/select.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Qel/Dir.h"
#include "Snmp/MibContext.h"
#include "Snmp/RegVoidCollByContext.h"
#include "SnmpUtil/SnmpUtil.h"
#include "TraceCapture.h"

namespace {

using Bridging::StormControl::IntfStatus;
using Bridging::StormControl::ThresholdType;
using StormControlSnmp::StormControlMib;
using TC = StormControlSnmp::StormControlTCType;
using Key = StormControlSnmp::StormControlIfTableKey;
using Counter = Snmp::OrderedTableIteratorCounterTypes;
using Oid = std::vector<oid>;

const Oid tableOid = {1, 3, 6, 1, 4, 1, 32473, 3, 35, 1, 1};
constexpr const char* tableName = "breltaStormControlIfTable";
constexpr const char* mibName = "breltaStormControlMIB";

/// The agent library, set up once for the process, and a manager session reaching it over the
/// callback transport, which hands PDUs over unencoded: arcs beyond 32 bits arrive as sent.
class NetSnmpAgent : public ::testing::Environment {
 public:
  static inline netsnmp_session* manager = nullptr;

  void SetUp() override {
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
    netsnmp_ds_set_int(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_OID_OUTPUT_FORMAT,
                       NETSNMP_OID_OUTPUT_NUMERIC);
    netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_ROLE, 0);
    setenv("MIBS", "", 1);  // numeric OIDs only: load no MIB module
    netsnmp_config_remember(const_cast<char*>("rocommunity public"));
    init_agent("breltaStormControlMIBTest");
    init_snmp("breltaStormControlMIBTest");
    netsnmp_session* agent = netsnmp_callback_open(0, handle_snmp_packet, netsnmp_agent_check_packet,
                                                   netsnmp_agent_check_parse);
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
    s->threshold.level = level++;
    s->threshold.type = units;
    s->drops = drops;
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
std::ostream& operator<<(std::ostream& out, const Var& v) {
  for (oid o : v.name) out << '.' << o;
  return out << " type " << v.type << " = " << v.value;
}

struct Answer {
  long status = -1;
  long index = -1;
  std::vector<Var> vars;
};

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
    mib_->stormControlIfTableDelAll();
    EXPECT_EQ(breltaStormControlIfTable_entry::memAllocationTracker_.liveObjects, 0u);
  }

  netsnmp_handler_registration* served() {
    const auto& regs = breltaStormControlMIBHandlerRegsByContext();
    const auto it = regs.find("");
    return it == regs.end() || it->second.empty() ? nullptr : it->second.front();
  }
  /// Every counter of the default context's table, by event number.
  std::array<U64, 6> counters() {
    auto record = Snmp::RegVoidCollByContext::instance()->regVoid("", tableName);
    std::array<U64, 6> out{};
    for (unsigned e = 0; e < out.size(); ++e) {
      out[e] = record->tableCounters()->orderedIterCntr(Counter(e));
    }
    return out;
  }
  void addRows(std::initializer_list<Key> keys) {
    for (const Key& key : keys) mib_->stormControlIfTableIs(key, status_);
  }
  /// Whether a record at `level` holds `text`.
  bool traced(U16 level, const std::string& text) const {
    for (const auto& r : traces_.records) {
      if (r.facility == "Snmp" && r.level == level && r.text.find(text) != std::string::npos) {
        return true;
      }
    }
    return false;
  }

  /// Sends `command` for `names` (SET: the INTEGER 9 to each) past access control, as an
  /// AgentX master forwards it, and runs the agent until the answer is back.
  Answer send(int command, const std::vector<Oid>& names, long nonRepeaters = 0,
              long maxRepetitions = 0) {
    netsnmp_pdu* pdu = snmp_pdu_create(command);
    pdu->version = SNMP_VERSION_2c;
    pdu->community = reinterpret_cast<u_char*>(strdup("public"));
    pdu->community_len = 6;
    pdu->flags |= UCD_MSG_FLAG_ALWAYS_IN_VIEW;
    pdu->non_repeaters = command == SNMP_MSG_GETBULK ? nonRepeaters : 0;
    pdu->max_repetitions = command == SNMP_MSG_GETBULK ? maxRepetitions : 0;
    const long nine = 9;
    for (const Oid& name : names) {
      if (command != SNMP_MSG_SET) snmp_add_null_var(pdu, name.data(), name.size());
      if (command == SNMP_MSG_SET) {
        snmp_pdu_add_variable(pdu, name.data(), name.size(), ASN_INTEGER,
                              reinterpret_cast<const u_char*>(&nine), sizeof nine);
      }
    }
    Answer answer;
    bool done = false;
    std::pair<Answer*, bool*> exchange{&answer, &done};
    EXPECT_NE(snmp_async_send(NetSnmpAgent::manager, pdu, &received, &exchange), 0);
    for (int turns = 0; !done && turns < 50; ++turns) pump();
    EXPECT_TRUE(done) << "no answer";
    EXPECT_EQ(breltaStormControlIfTable_entry::memAllocationTracker_.liveObjects, 0u)
        << "a walk context outlived its request";
    return answer;
  }

  Pondo::Ptr<Qel::Dir> mount_ = Pondo::make<Qel::Dir>("agent");
  Pondo::Ptr<Qel::Dir> snmp_ = Pondo::make<Qel::Dir>("snmp");
  Pondo::Ptr<Qel::Dir> storm_ = Pondo::make<Qel::Dir>("stormcontrol");
  Pondo::Ptr<StormControlMib> mib_ = StormControlSnmp::stormControlMibFactory("stormcontrolmib");
  Pondo::Ptr<const IntfStatus> status_ = makeStatus(500, ThresholdType::packetsPerSecond, 40);
  TraceLevels levels_{"Snmp", 0xffff};
  TraceCapture traces_;

 private:
  static int received(int op, netsnmp_session*, int, netsnmp_pdu* pdu, void* magic) {
    auto [answer, done] = *static_cast<std::pair<Answer*, bool*>*>(magic);
    *done = true;
    if (op != NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE) return 1;
    answer->status = pdu->errstat;
    answer->index = pdu->errindex;
    for (netsnmp_variable_list* v = pdu->variables; v; v = v->next_variable) {
      long long value = v->type == ASN_INTEGER ? *v->val.integer : 0;
      if (v->type == ASN_COUNTER64) {
        value = static_cast<long long>((U64(v->val.counter64->high) << 32) | v->val.counter64->low);
      }
      answer->vars.push_back({Oid(v->name, v->name + v->name_length), v->type, value});
    }
    return 1;
  }
  static void pump() {
    int fds = 0, block = 0;
    fd_set readable;
    FD_ZERO(&readable);
    timeval timeout{0, 100000};
    snmp_select_info(&fds, &readable, &timeout, &block);
    timeout = {0, 100000};
    if (select(fds, &readable, nullptr, nullptr, &timeout) > 0) snmp_read(&readable);
    netsnmp_check_outstanding_agent_requests();
  }
};

// ======== registration ======================================================================

// The default context gets a read-only registration with the helper chain, its records and the
// host's note; withdrawing it takes all of that and the table down, twice is harmless, and the
// context can be served again with fresh counters.
TEST_F(MibModuleTest, DefaultContextIsServedAndWithdrawn) {
  init_breltaStormControlMIB("");
  netsnmp_handler_registration* reg = served();
  ASSERT_NE(reg, nullptr);
  EXPECT_EQ(Oid(reg->rootoid, reg->rootoid + reg->rootoid_len), tableOid);
  EXPECT_EQ(reg->modes & HANDLER_CAN_RWRITE, HANDLER_CAN_RONLY);  // helpers add other bits
  std::vector<std::string> chain;
  for (netsnmp_mib_handler* h = reg->handler; h; h = h->next) chain.push_back(h->handler_name);
  // net-snmp adds its GETBULK-to-GETNEXT helper for a handler that does not take GETBULK.
  EXPECT_EQ(chain, (std::vector<std::string>{"serialize", "bulk_to_next", "table", "table_iterator",
                                             "breltaStormControlIfTable_"}));
  auto record = Snmp::RegVoidCollByContext::instance()->regVoid("", tableName);
  ASSERT_TRUE(record);
  EXPECT_EQ(record->payload(), mib_.get());
  EXPECT_EQ(breltaStormControlMIBColumnInfosByContext().at("").size(), 1u);
  EXPECT_TRUE(Snmp::mibContextExists("", mibName));
  EXPECT_TRUE(traced(1, ".1.3.6.1.4.1.32473.3.35.1.1"));
  EXPECT_TRUE(traced(8, tableName));

  addRows({Key(3, TC::all)});
  for (int round = 0; round < 2; ++round) {
    unregister_breltaStormControlMIB("");
    EXPECT_TRUE(breltaStormControlMIBHandlerRegsByContext().empty());
    EXPECT_TRUE(breltaStormControlMIBColumnInfosByContext().empty());
    EXPECT_FALSE(Snmp::RegVoidCollByContext::instance()->regVoid("", tableName));
    EXPECT_FALSE(Snmp::mibContextExists("", mibName));
    EXPECT_EQ(send(SNMP_MSG_GET, {column(2, {3, 0})}).vars.at(0).type, SNMP_NOSUCHOBJECT);
  }
  init_breltaStormControlMIB("");
  EXPECT_EQ(send(SNMP_MSG_GET, {column(2, {3, 0})}).vars.at(0).value, 500);
  EXPECT_EQ(counters(), (std::array<U64, 6>{0, 1, 0, 0, 0, 0}));
}

// Another context is only noted: nothing reaches net-snmp or the registries, and withdrawing
// it removes the note and leaves the default context served.
TEST_F(MibModuleTest, OtherContextIsNotedOnly) {
  init_breltaStormControlMIB("");
  init_breltaStormControlMIB("vrf-blue");
  EXPECT_TRUE(traced(2, "vrf-blue"));
  EXPECT_EQ(breltaStormControlMIBHandlerRegsByContext().size(), 1u);
  EXPECT_EQ(breltaStormControlMIBColumnInfosByContext().size(), 1u);
  EXPECT_FALSE(Snmp::RegVoidCollByContext::instance()->regVoid("vrf-blue", tableName));
  EXPECT_TRUE(Snmp::mibContextExists("vrf-blue", mibName));
  unregister_breltaStormControlMIB("vrf-blue");
  EXPECT_FALSE(Snmp::mibContextExists("vrf-blue", mibName));
  EXPECT_NE(served(), nullptr);
  EXPECT_TRUE(Snmp::RegVoidCollByContext::instance()->regVoid("", tableName));
  EXPECT_TRUE(Snmp::mibContextExists("", mibName));
}

// With level 1 off the OID is not formatted; level 8 still says the table is served.
TEST_F(MibModuleTest, SetupTraceIsGatedByLevel) {
  TraceLevels only8("Snmp", 1u << 8);
  init_breltaStormControlMIB("");
  ASSERT_EQ(traces_.records.size(), 1u);
  EXPECT_EQ(traces_.records[0].level, 8u);
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
// the next instance or the end of the view; GETBULK walks across columns to the end.
TEST_F(RequestTest, AnswersGetGetNextAndGetBulk) {
  EXPECT_EQ(send(SNMP_MSG_GETNEXT, {column(2)}).vars.at(0).type, SNMP_ENDOFMIBVIEW);
  EXPECT_TRUE(traced(2, "at end"));
  addRows({Key(3, TC::all), Key(7, TC::broadcast)});
  mib_->stormControlIfTableIs(Key(3, TC::unknownUnicast), makeStatus(70, ThresholdType(7), 1));
  EXPECT_EQ(send(SNMP_MSG_GET, {column(2, {7, 1}), column(3, {7, 1}), column(4, {7, 1}),
                                column(4, {3, 2}), column(3, {3, 3}), column(5, {3, 0}),
                                column(1, {3, 0})})
                .vars,
            (std::vector<Var>{{column(2, {7, 1}), ASN_COUNTER64, 501},
                              {column(3, {7, 1}), ASN_INTEGER, 1},
                              {column(4, {7, 1}), ASN_COUNTER64, 50},
                              {column(4, {3, 2}), SNMP_NOSUCHINSTANCE},
                              {column(3, {3, 3}), ASN_INTEGER, 0},
                              {column(5, {3, 0}), SNMP_NOSUCHOBJECT},
                              {column(1, {3, 0}), SNMP_NOSUCHOBJECT}}));
  EXPECT_TRUE(traced(2, "already processed"));
  EXPECT_TRUE(traced(2, "{ifIndex=7, trafficClass=broadcast}"));
  EXPECT_FALSE(traced(0, ""));
  EXPECT_EQ(send(SNMP_MSG_GETNEXT, {column(4, {3, 0}), column(2, {7, 1}), column(3, {3}),
                                    column(4, {7, 1}), column(2, {9})})
                .vars,
            (std::vector<Var>{{column(4, {3, 3}), ASN_COUNTER64, 31},
                              {column(3, {3, 0}), ASN_INTEGER, 1},
                              {column(3, {3, 0}), ASN_INTEGER, 1},
                              {column(4, {7, 1}), SNMP_ENDOFMIBVIEW},
                              {column(3, {3, 0}), ASN_INTEGER, 1}}));
  const auto bulk = send(SNMP_MSG_GETBULK, {column(2)}, 0, 1000).vars;
  ASSERT_EQ(bulk.size(), 10u);  // nine values, then the end of the view
  EXPECT_EQ(bulk[0], (Var{column(2, {3, 0}), ASN_COUNTER64, 500}));
  EXPECT_EQ(bulk[4], (Var{column(3, {3, 3}), ASN_INTEGER, 0}));
  EXPECT_EQ(bulk[8], (Var{column(4, {7, 1}), ASN_COUNTER64, 50}));
  EXPECT_EQ(bulk[9].type, SNMP_ENDOFMIBVIEW);
}

// GETNEXT starts where its index names a row, counted as such; an absent row, a partial index
// or an index out of range starts at the first row, the latter traced at level 0.
TEST_F(RequestTest, HintSelectsTheStart) {
  addRows({Key(3, TC::all), Key(5, TC::broadcast), Key(9, TC::all), Key(3000000000u, TC::all)});
  constexpr oid negative = ~oid{0} - 1294967295;  // read as -1294967296: 3000000000's 32 bits
  struct Case {
    Oid from;
    Oid next;
    std::array<U64, 6> counted;  // hintNotFound, fromHint, fromStart, -, pastLast, row
    U16 traceLevel;
    std::string trace;
  };
  const std::vector<Case> cases = {
      {{5, 1}, {9, 0}, {0, 1, 0, 0, 0, 1}, 2, "'5'"},
      {{3000000000u, 0}, {}, {0, 1, 1, 0, 1, 0}, 2, "'3000000000'"},
      {{negative, 0}, {}, {0, 1, 1, 0, 1, 0}, 2, "'3000000000'"},
      {{5, 2}, {9, 0}, {1, 0, 1, 0, 0, 2}, 2, "{ifIndex=5, trafficClass=multicast}"},
      {{5}, {5, 1}, {0, 0, 1, 0, 0, 1}, 2, "number_indexes = 1"},
      {{5, 1, 1}, {9, 0}, {0, 1, 0, 0, 0, 1}, 2, "'broadcast'"},
      {{5, 4}, {9, 0}, {0, 0, 1, 0, 0, 2}, 0, "StormControlTCType"},
      {{oid{1} << 63, 0}, {}, {0, 0, 2, 0, 1, 3}, 0, "ifIndex of breltaStormControlIfTable"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.from));
    traces_.records.clear();
    const auto before = counters();
    const Oid next = c.next.empty() ? column(3, {3, 0}) : column(2, c.next);
    EXPECT_EQ(send(SNMP_MSG_GETNEXT, {column(2, c.from)}).vars.at(0).name, next);
    auto counted = counters();
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
  auto step = [&](Oid from) { return send(SNMP_MSG_GETNEXT, {from}).vars.at(0).name; };
  const auto at5 = step(column(2, {3, 0}));
  EXPECT_EQ(at5, column(2, {5, 0}));
  mib_->stormControlIfTableDel(Key(5, TC::all));
  addRows({Key(4, TC::all), Key(6, TC::all)});
  EXPECT_EQ(step(at5), column(2, {6, 0}));
  EXPECT_EQ(step(column(2, {6, 0})), column(2, {9, 0}));
}

// SET is refused twice over, each layer on its own: net-snmp refuses every variable of the
// read-only registration before any handler runs, and the handler refuses the first variable
// (traced at level 0) of a registration that would take writes. The table is untouched.
TEST_F(RequestTest, SetIsRefusedByRegistrationAndHandler) {
  addRows({Key(3, TC::all)});
  const std::vector<Oid> names = {column(4, {3, 0}), column(3, {3, 0})};
  for (bool writable : {false, true}) {
    SCOPED_TRACE(writable ? "writable registration" : "read-only registration");
    if (writable) served()->modes |= HANDLER_CAN_SET;
    traces_.records.clear();
    const Answer answer = send(SNMP_MSG_SET, names);
    EXPECT_EQ(answer.status, SNMP_ERR_NOTWRITABLE);
    EXPECT_EQ(answer.index, 1);
    EXPECT_EQ(traced(0, "column 4"), writable);
    EXPECT_EQ(traced(2, "request mode"), writable) << "the handler runs only when writable";
    EXPECT_EQ(send(SNMP_MSG_GET, names).vars,
              (std::vector<Var>{{names[0], ASN_COUNTER64, 40}, {names[1], ASN_INTEGER, 1}}));
  }
}

// Rows with an ifIndex of 2^31 or more are walked in order by GETNEXT, each request after the
// first starting at its own row, until the walk goes on into the next column.
TEST_F(RequestTest, LargeIfIndexesAreServedInOrder) {
  addRows({Key(2147483647u, TC::all), Key(2147483648u, TC::all), Key(3000000000u, TC::multicast),
           Key(4294967295u, TC::all)});
  const auto before = counters();
  std::vector<Oid> walked;
  for (Oid at = column(2); walked.size() < 10 && at.size() <= column(2).size() + 2;) {
    const Oid next = send(SNMP_MSG_GETNEXT, {at}).vars.at(0).name;
    if (next[12] != 2) break;
    walked.push_back(at = next);
  }
  EXPECT_EQ(walked, (std::vector<Oid>{column(2, {2147483647u, 0}), column(2, {2147483648u, 0}),
                                      column(2, {3000000000u, 2}), column(2, {4294967295u, 0})}));
  EXPECT_EQ(counters()[unsigned(Counter::getFirstFromStart)] -
                before[unsigned(Counter::getFirstFromStart)],
            2u);
  EXPECT_EQ(counters()[unsigned(Counter::getFirstFromHint)] -
                before[unsigned(Counter::getFirstFromHint)],
            4u);
}

}  // namespace
