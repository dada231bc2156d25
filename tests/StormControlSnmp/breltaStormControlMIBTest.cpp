// The SNMP table module with the real net-snmp agent library in-process: registration per
// context, the iterator callbacks net-snmp was handed, the request handler, and whole requests
// sent over loopback to an agent driven by this test's own loop.
#include "StormControlSnmp/breltaStormControlMIB.h"

#include <gtest/gtest.h>
// net-snmp wants its configuration header first.
#include <net-snmp/net-snmp-config.h>

#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <optional>
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
using StormControlSnmp::StormControlIfTableKey;
using StormControlSnmp::StormControlMib;
using TC = StormControlSnmp::StormControlTCType;
using Key = StormControlIfTableKey;
using Counter = Snmp::OrderedTableIteratorCounterTypes;

const std::vector<oid> tableOid = {1, 3, 6, 1, 4, 1, 32473, 3, 35, 1, 1};
constexpr const char* tableName = "breltaStormControlIfTable";
constexpr const char* mibName = "breltaStormControlMIB";

int freeUdpPort() {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t length = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
  close(fd);
  return ntohs(addr.sin_port);
}

/// The agent library, initialised once for the process, listening on a loopback port.
class NetSnmpAgent : public ::testing::Environment {
 public:
  static inline int port = 0;

  void SetUp() override {
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
    netsnmp_ds_set_int(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_OID_OUTPUT_FORMAT,
                       NETSNMP_OID_OUTPUT_NUMERIC);
    netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_ROLE, 0);
    netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_NO_ROOT_ACCESS, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID,
                           NETSNMP_DS_AGENT_DONT_LOG_TCPWRAPPERS_CONNECTS, 1);
    port = freeUdpPort();
    const std::string ports = "udp:127.0.0.1:" + std::to_string(port);
    netsnmp_ds_set_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_PORTS, ports.c_str());
    netsnmp_config_remember(const_cast<char*>("rocommunity public 127.0.0.1"));
    netsnmp_config_remember(const_cast<char*>("rwcommunity private 127.0.0.1"));
    init_agent("breltaStormControlMIBTest");
    init_snmp("breltaStormControlMIBTest");
    ASSERT_EQ(init_master_agent(), 0);
  }
  void TearDown() override { snmp_shutdown("breltaStormControlMIBTest"); }
};

const auto* const agentEnvironment = ::testing::AddGlobalTestEnvironment(new NetSnmpAgent);

Pondo::Ptr<const IntfStatus> makeStatus(U64 level, ThresholdType units, U64 drops) {
  IntfStatus::Classes c;
  for (auto* s : {&c.all, &c.broadcast, &c.multicast, &c.unknownUnicast}) {
    s->threshold.level = level;
    s->threshold.type = units;
    s->drops = drops;
    drops += 1;
  }
  return Pondo::make<IntfStatus>("Ethernet1/1", c);
}

netsnmp_mib_handler* findHandler(netsnmp_handler_registration* registration, const char* name) {
  for (netsnmp_mib_handler* h = registration->handler; h; h = h->next) {
    if (std::string(h->handler_name) == name) return h;
  }
  return nullptr;
}

/// The database with the table entity at its path, the registry, and traces of "Snmp".
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
  netsnmp_iterator_info* iinfo() {
    return static_cast<netsnmp_iterator_info*>(findHandler(served(), "table_iterator")->myvoid);
  }
  U64 counted(Counter event) {
    auto record = Snmp::RegVoidCollByContext::instance()->regVoid("", tableName);
    return record->tableCounters()->orderedIterCntr(event);
  }
  void addRows(std::initializer_list<Key> keys) {
    for (const Key& key : keys) mib_->stormControlIfTableIs(key, status_);
  }

  Pondo::Ptr<Qel::Dir> mount_ = Pondo::make<Qel::Dir>("agent");
  Pondo::Ptr<Qel::Dir> snmp_ = Pondo::make<Qel::Dir>("snmp");
  Pondo::Ptr<Qel::Dir> storm_ = Pondo::make<Qel::Dir>("stormcontrol");
  Pondo::Ptr<StormControlMib> mib_ = StormControlSnmp::stormControlMibFactory("stormcontrolmib");
  Pondo::Ptr<const IntfStatus> status_ = makeStatus(500, ThresholdType::packetsPerSecond, 40);
  TraceLevels levels_{"Snmp", 0xffff};
  TraceCapture traces_;
};

bool contains(const std::vector<std::string>& texts, const std::string& text) {
  for (const auto& t : texts) {
    if (t.find(text) != std::string::npos) return true;
  }
  return false;
}

// ======== registration ======================================================================

// The default context is served: the records handed to net-snmp, the module's registries,
// the host's registry record and note; unregistration takes all of it down, and the context
// can be served again with fresh records.
TEST_F(MibModuleTest, DefaultContextIsServedAndWithdrawn) {
  init_breltaStormControlMIB("");
  netsnmp_handler_registration* reg = served();
  ASSERT_NE(reg, nullptr);
  EXPECT_STREQ(reg->handlerName, "breltaStormControlIfTable_");
  EXPECT_EQ(std::vector<oid>(reg->rootoid, reg->rootoid + reg->rootoid_len), tableOid);
  EXPECT_EQ(reg->modes & HANDLER_CAN_RWRITE, HANDLER_CAN_RONLY);  // helpers add other bits
  std::vector<std::string> chain;
  for (netsnmp_mib_handler* h = reg->handler; h; h = h->next) chain.push_back(h->handler_name);
  // net-snmp adds its GETBULK-to-GETNEXT helper for a handler that does not take GETBULK.
  EXPECT_EQ(chain, (std::vector<std::string>{"serialize", "bulk_to_next", "table", "table_iterator",
                                             "breltaStormControlIfTable_"}));
  netsnmp_iterator_info* info = iinfo();
  EXPECT_EQ(info->flags, NETSNMP_ITERATOR_FLAG_SORTED | NETSNMP_HANDLER_OWNS_IINFO);
  EXPECT_EQ(info->myvoid, reg->my_reg_void);
  EXPECT_EQ(info->free_loop_context, nullptr);
  const netsnmp_table_registration_info* table = info->table_reginfo;
  EXPECT_EQ(table->min_column, 2u);
  EXPECT_EQ(table->max_column, 4u);
  ASSERT_NE(table->indexes, nullptr);
  EXPECT_EQ(table->indexes->type, ASN_INTEGER);
  ASSERT_NE(table->indexes->next_variable, nullptr);
  EXPECT_EQ(table->indexes->next_variable->type, ASN_INTEGER);
  const netsnmp_column_info* columns = table->valid_columns;
  EXPECT_EQ(columns->isRange, 0);
  ASSERT_EQ(columns->list_count, 3u);
  EXPECT_EQ(std::vector<unsigned>(columns->details.list, columns->details.list + 3),
            (std::vector<unsigned>{2, 3, 4}));
  EXPECT_EQ(breltaStormControlMIBColumnInfosByContext().at("").front(), columns);

  auto record = Snmp::RegVoidCollByContext::instance()->regVoid("", tableName);
  ASSERT_TRUE(record);
  EXPECT_EQ(record->payload(), mib_.get());
  EXPECT_EQ(static_cast<void*>(record.get()), reg->my_reg_void);
  EXPECT_TRUE(Snmp::mibContextExists("", mibName));
  EXPECT_TRUE(contains(traces_.texts("Snmp"),
                       "initialize_table_breltaStormControlIfTable initializing oid "
                       ".1.3.6.1.4.1.32473.3.35.1.1 in context \"\""));
  EXPECT_TRUE(contains(traces_.texts("Snmp"),
                       "Initialized table breltaStormControlIfTable in context \"\""));

  unregister_breltaStormControlMIB("");
  EXPECT_TRUE(breltaStormControlMIBHandlerRegsByContext().empty());
  EXPECT_TRUE(breltaStormControlMIBColumnInfosByContext().empty());
  EXPECT_FALSE(Snmp::RegVoidCollByContext::instance()->regVoid("", tableName));
  EXPECT_FALSE(Snmp::mibContextExists("", mibName));

  // Twice: the second only traces and withdraws the (absent) note.
  traces_.records.clear();
  unregister_breltaStormControlMIB("");
  EXPECT_EQ(traces_.texts("Snmp"),
            std::vector<std::string>{"Unregistering breltaStormControlMIB in context \"\""});
  EXPECT_TRUE(breltaStormControlMIBHandlerRegsByContext().empty());

  init_breltaStormControlMIB("");
  ASSERT_NE(served(), nullptr);
  auto fresh = Snmp::RegVoidCollByContext::instance()->regVoid("", tableName);
  ASSERT_TRUE(fresh);
  EXPECT_EQ(fresh->tableCounters()->orderedIterCntr(Counter::getFirstFromStart), 0u);
}

// Another context is only noted: nothing registered with net-snmp, nothing in the registries;
// withdrawing it removes the note and touches nothing of the default context.
TEST_F(MibModuleTest, OtherContextIsNotedOnly) {
  init_breltaStormControlMIB("");
  init_breltaStormControlMIB("vrf-blue");
  EXPECT_TRUE(contains(traces_.texts("Snmp"),
                       "initialize_table_breltaStormControlIfTable in context \"vrf-blue\" "
                       "ledraPathWithContext not specified "));
  EXPECT_EQ(breltaStormControlMIBHandlerRegsByContext().count("vrf-blue"), 0u);
  EXPECT_EQ(breltaStormControlMIBColumnInfosByContext().count("vrf-blue"), 0u);
  EXPECT_FALSE(Snmp::RegVoidCollByContext::instance()->regVoid("vrf-blue", tableName));
  EXPECT_TRUE(Snmp::mibContextExists("vrf-blue", mibName));

  unregister_breltaStormControlMIB("vrf-blue");
  EXPECT_FALSE(Snmp::mibContextExists("vrf-blue", mibName));
  EXPECT_EQ(breltaStormControlMIBHandlerRegsByContext().count("vrf-blue"), 0u);
  EXPECT_EQ(breltaStormControlMIBColumnInfosByContext().count("vrf-blue"), 0u);
  EXPECT_NE(served(), nullptr);
  EXPECT_TRUE(Snmp::RegVoidCollByContext::instance()->regVoid("", tableName));
  EXPECT_TRUE(Snmp::mibContextExists("", mibName));
}

// With level 1 off, the OID is not printed; the other levels keep their traces.
TEST_F(MibModuleTest, SetupTraceIsGatedByLevel) {
  TraceLevels only8("Snmp", 1u << 8);
  init_breltaStormControlMIB("");
  EXPECT_EQ(
      traces_.texts("Snmp"),
      std::vector<std::string>{"Initialized table breltaStormControlIfTable in context \"\""});
}

using MibModuleDeathTest = MibModuleTest;

// A missing or mistyped table entity is a fatal configuration error with a clear text.
TEST_F(MibModuleDeathTest, MissingOrMistypedEntityIsFatal) {
  storm_->entityDel("stormcontrolmib");
  EXPECT_DEATH(init_breltaStormControlMIB(""),
               "Can not getEntityRelative\\( snmp/stormcontrol/stormcontrolmib \\) for table "
               "breltaStormControlIfTable. Is this path correct\\?");
  storm_->entityIs(Pondo::make<Qel::Dir>("stormcontrolmib"));
  EXPECT_DEATH(init_breltaStormControlMIB(""),
               "snmp/stormcontrol/stormcontrolmib does not appear to be of type "
               "StormControlSnmp::StormControlMib.");
}

// Serving a context twice without unregistering is refused by net-snmp and fatal.
TEST_F(MibModuleDeathTest, SecondRegistrationIsFatal) {
  init_breltaStormControlMIB("");
  EXPECT_DEATH(init_breltaStormControlMIB(""), "result == MIB_REGISTERED_OK");
}

// ======== iteration callbacks ===============================================================

/// A request's parsed indexes, as net-snmp passes them to get-first of a sorted iterator.
struct Hint {
  Hint() = default;
  Hint& integer(long value) {
    const long none = 0;
    netsnmp_variable_list* var =
        snmp_varlist_add_variable(&info.indexes, nullptr, 0, ASN_INTEGER,
                                  reinterpret_cast<const u_char*>(&none), sizeof none);
    *var->val.integer = value;  // as parsed from an arc; the setter truncates to 32 bits
    ++info.number_indexes;
    return *this;
  }
  Hint& text(const char* value) {
    snmp_varlist_add_variable(&info.indexes, nullptr, 0, ASN_OCTET_STR,
                              reinterpret_cast<const u_char*>(value), strlen(value));
    ++info.number_indexes;
    return *this;
  }
  ~Hint() { snmp_free_varbind(info.indexes); }

  netsnmp_table_request_info info{};
};

/// Drives the iterator callbacks that net-snmp was handed, as its table iterator does.
class IterationTest : public MibModuleTest {
 protected:
  IterationTest() {
    init_breltaStormControlMIB("");
    snmp_varlist_add_variable(&indexes_, nullptr, 0, ASN_INTEGER, nullptr, 0);
    snmp_varlist_add_variable(&indexes_, nullptr, 0, ASN_INTEGER, nullptr, 0);
  }
  ~IterationTest() override {
    if (loop_) iinfo()->free_loop_context_at_end(loop_, iinfo());
    snmp_free_varbind(indexes_);
  }

  /// get-first with `hint` (null: none); the index values found, or empty at the end.
  std::vector<long> first(netsnmp_table_request_info* hint) {
    loop_ = hint;
    void* data = nullptr;
    return indexValues(iinfo()->get_first_data_point(&loop_, &data, indexes_, iinfo()));
  }
  std::vector<long> next(void** data = nullptr) {
    void* none = nullptr;
    return indexValues(
        iinfo()->get_next_data_point(&loop_, data ? data : &none, indexes_, iinfo()));
  }
  /// Every row from get-first to the end.
  std::vector<std::vector<long>> walk(netsnmp_table_request_info* hint = nullptr) {
    std::vector<std::vector<long>> rows;
    for (auto row = first(hint); !row.empty(); row = next()) rows.push_back(row);
    return rows;
  }
  breltaStormControlIfTable_entry* loop() {
    return static_cast<breltaStormControlIfTable_entry*>(loop_);
  }

  static std::vector<long> indexValues(netsnmp_variable_list* vars) {
    if (!vars) return {};
    return {*vars->val.integer, *vars->next_variable->val.integer};
  }

  netsnmp_variable_list* indexes_ = nullptr;
  void* loop_ = nullptr;
};

// An empty table: the walk starts past the end and stays there.
TEST_F(IterationTest, EmptyTable) {
  EXPECT_TRUE(first(nullptr).empty());
  EXPECT_NE(loop(), nullptr);
  EXPECT_EQ(counted(Counter::getFirstFromStart), 1u);
  EXPECT_TRUE(contains(traces_.texts("Snmp"),
                       "breltaStormControlIfTableIterationHelper - iterator is at end"));
  EXPECT_TRUE(next().empty());
  EXPECT_EQ(counted(Counter::getNextWithoutContext), 1u);
}

// Rows come in index order; an ifIndex of 2^31 or more keeps its unsigned value, the arc a
// request names; the counters see one start and a step per row, the last one past the end.
TEST_F(IterationTest, WalksInIndexOrder) {
  addRows({Key(7, TC::broadcast), Key(3, TC::unknownUnicast), Key(3, TC::all),
           Key(2147483648u, TC::multicast)});
  EXPECT_EQ(walk(), (std::vector<std::vector<long>>{{3, 0}, {3, 3}, {7, 1}, {2147483648L, 2}}));
  EXPECT_EQ(counted(Counter::getFirstFromStart), 1u);
  EXPECT_EQ(counted(Counter::getNextRow), 3u);
  EXPECT_EQ(counted(Counter::getNextPastLast), 1u);
}

// A hint naming a row starts there; a hint naming no row, or unusable in shape, type or range,
// starts at the first row, with the traces that say why.
TEST_F(IterationTest, HintSelectsTheStart) {
  addRows({Key(3, TC::all), Key(5, TC::broadcast), Key(9, TC::all), Key(3000000000u, TC::all)});
  struct Case {
    const char* what;
    std::function<void(Hint&)> build;
    std::vector<long> start;
    std::vector<Counter> events;
    std::vector<std::string> traces;
  };
  const std::vector<Case> cases = {
      {"exact row",
       [](Hint& h) { h.integer(5).integer(1); },
       {5, 1},
       {Counter::getFirstFromHint},
       {"hint component ifIndex is '5'",
        "hint component breltaStormControlIfTrafficClass is 'broadcast'", ", hintMatched=true"}},
      {"ifIndex above the signed range",
       [](Hint& h) { h.integer(3000000000L).integer(0); },
       {3000000000L, 0},
       {Counter::getFirstFromHint},
       {"hint component ifIndex is '3000000000'"}},
      {"negative ifIndex, as its 32 bits",
       [](Hint& h) { h.integer(-1294967296L).integer(0); },
       {3000000000L, 0},
       {Counter::getFirstFromHint},
       {"hint component ifIndex is '3000000000'"}},
      {"absent key",
       [](Hint& h) { h.integer(5).integer(2); },
       {3, 0},
       {Counter::getFirstHintNotFound, Counter::getFirstFromStart},
       {"breltaStormControlIfTable_get_first_data_point - key '{ifIndex=5, "
        "trafficClass=multicast}' "
        "not found in table",
        ", hintMatched=false"}},
      {"one index",
       [](Hint& h) { h.integer(5); },
       {3, 0},
       {Counter::getFirstFromStart},
       {"number_indexes = 1"}},
      {"three indexes",
       [](Hint& h) { h.integer(5).integer(1).integer(1); },
       {3, 0},
       {Counter::getFirstFromStart},
       {"number_indexes = 3"}},
      {"ifIndex of the wrong type",
       [](Hint& h) { h.text("5").integer(1); },
       {3, 0},
       {Counter::getFirstFromStart},
       {"hint for ifIndex has incorrect type! Expecting 2 but got 4",
        "hint component breltaStormControlIfTrafficClass is 'broadcast'",
        "breltaStormControlIfTable_get_first_data_point - needed 2 components, found only 1"}},
      {"class of the wrong type",
       [](Hint& h) { h.integer(5).text("x"); },
       {3, 0},
       {Counter::getFirstFromStart},
       {"hint for breltaStormControlIfTrafficClass has incorrect type! Expecting 2 but got 4",
        "needed 2 components, found only 1"}},
      {"class 4",
       [](Hint& h) { h.integer(5).integer(4); },
       {3, 0},
       {Counter::getFirstFromStart},
       {"hint for index breltaStormControlIfTrafficClass of breltaStormControlIfTable is out of "
        "range! ",
        "invalid value for StormControlSnmp::StormControlTCType"}},
      {"class -1",
       [](Hint& h) { h.integer(5).integer(-1); },
       {3, 0},
       {Counter::getFirstFromStart},
       {"invalid value for StormControlSnmp::StormControlTCType"}},
      {"ifIndex beyond 32 bits",
       [](Hint& h) { h.integer(4294967296L).integer(1); },
       {3, 0},
       {Counter::getFirstFromStart},
       {"hint for index ifIndex of breltaStormControlIfTable is out of range! ",
        "hint component breltaStormControlIfTrafficClass is 'broadcast'", "found only 1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    traces_.records.clear();
    std::array<U64, 6> before{};
    for (unsigned e = 0; e < 6; ++e) before[e] = counted(Counter(e));
    Hint hint;
    c.build(hint);
    EXPECT_EQ(first(&hint.info), c.start);
    iinfo()->free_loop_context_at_end(loop_, iinfo());
    loop_ = nullptr;
    std::array<U64, 6> expected = before;
    for (Counter e : c.events) ++expected[unsigned(e)];
    for (unsigned e = 0; e < 6; ++e) EXPECT_EQ(counted(Counter(e)), expected[e]) << "event " << e;
    for (const auto& text : c.traces) EXPECT_TRUE(contains(traces_.texts("Snmp"), text)) << text;
  }
}

// A walk paused on a row survives changes: its row removed, rows inserted behind it are
// visited, rows inserted before it are not; a data context keeps a removed row readable.
TEST_F(IterationTest, WalkAcrossRemovals) {
  addRows({Key(3, TC::all), Key(5, TC::all), Key(5, TC::broadcast), Key(9, TC::all)});
  Hint hint;
  hint.integer(5).integer(0);
  EXPECT_EQ(first(&hint.info), (std::vector<long>{5, 0}));
  void* data = iinfo()->make_data_context(loop_, iinfo());
  auto removed = mib_->stormControlIfTableDel(Key(5, TC::all));
  mib_->stormControlIfTableDel(Key(5, TC::broadcast));
  addRows({Key(4, TC::all), Key(6, TC::multicast)});
  EXPECT_EQ(static_cast<breltaStormControlIfTable_entry*>(data)->row(), removed.get());
  removed.reset();  // the data context still holds the row
  EXPECT_EQ(static_cast<breltaStormControlIfTable_entry*>(data)->row()->drops(), 40u);
  EXPECT_EQ(next(&data), (std::vector<long>{6, 2}));
  EXPECT_EQ(static_cast<breltaStormControlIfTable_entry*>(data)->row()->key(),
            Key(6, TC::multicast));
  EXPECT_EQ(next(), (std::vector<long>{9, 0}));
  EXPECT_TRUE(next().empty());
  EXPECT_TRUE(next().empty());
  EXPECT_EQ(counted(Counter::getNextWithoutContext), 1u);
  iinfo()->free_data_context(data, iinfo());
}

// ======== request handler ===================================================================

/// A request list as the iterator hands it to the handler: table info and data context
/// attached to each request.
class HandlerTest : public IterationTest {
 protected:
  ~HandlerTest() override { clearRequests(); }

  void clearRequests() {
    for (auto& r : requests_) {
      netsnmp_free_request_data_sets(&r);
      snmp_free_var(r.requestvb);
    }
    requests_.clear();
    for (void* d : data_) iinfo()->free_data_context(d, iinfo());
    data_.clear();
  }

  /// Adds a request for `column` of the row at `key` (none: no data context).
  void request(unsigned column, std::optional<Key> key) {
    requests_.emplace_back();
    netsnmp_request_info& r = requests_.back();
    r.requestvb = snmp_varlist_add_variable(&r.requestvb, nullptr, 0, ASN_NULL, nullptr, 0);
    r.agent_req_info = &reqinfo_;
    auto* info =
        static_cast<netsnmp_table_request_info*>(calloc(1, sizeof(netsnmp_table_request_info)));
    info->colnum = column;
    netsnmp_request_add_list_data(&r, netsnmp_create_data_list(TABLE_HANDLER_NAME, info, free));
    if (!key) return;
    Hint hint;
    hint.integer(key->ifIndex()).integer(long(key->trafficClass()));
    first(&hint.info);
    data_.push_back(iinfo()->make_data_context(loop_, iinfo()));
    iinfo()->free_loop_context_at_end(loop_, iinfo());
    loop_ = nullptr;
    netsnmp_request_add_list_data(
        &r, netsnmp_create_data_list(TABLE_ITERATOR_NAME, data_.back(), nullptr));
  }
  int handle(int mode) {
    reqinfo_.mode = mode;
    for (std::size_t i = 0; i + 1 < requests_.size(); ++i) requests_[i].next = &requests_[i + 1];
    netsnmp_mib_handler* handler = findHandler(served(), "breltaStormControlIfTable_");
    return handler->access_method(handler, served(), &reqinfo_, &requests_.front());
  }
  U64 counter64Of(std::size_t i) {
    const struct counter64& c = *requests_[i].requestvb->val.counter64;
    return (U64(c.high) << 32) | c.low;
  }

  netsnmp_agent_request_info reqinfo_{};
  std::deque<netsnmp_request_info> requests_;
  std::vector<void*> data_;
};

// GET answers each column of each row with its type and value; threshold types outside the
// enumeration read 0; a removed row is still answered from the data context.
TEST_F(HandlerTest, GetAnswersColumns) {
  addRows({Key(5, TC::all), Key(5, TC::multicast)});
  mib_->stormControlIfTableIs(Key(8, TC::all), makeStatus(77, ThresholdType(7), 3));
  request(2, Key(5, TC::all));
  request(3, Key(5, TC::all));
  request(4, Key(5, TC::multicast));
  request(3, Key(8, TC::all));
  mib_->stormControlIfTableDel(Key(5, TC::multicast));
  EXPECT_EQ(handle(MODE_GET), SNMP_ERR_NOERROR);
  EXPECT_EQ(requests_[0].requestvb->type, ASN_COUNTER64);
  EXPECT_EQ(counter64Of(0), 500u);
  EXPECT_EQ(requests_[1].requestvb->type, ASN_INTEGER);
  EXPECT_EQ(*requests_[1].requestvb->val.integer, 1);
  EXPECT_EQ(requests_[2].requestvb->type, ASN_COUNTER64);
  EXPECT_EQ(counter64Of(2), 42u);
  EXPECT_EQ(*requests_[3].requestvb->val.integer, 0);
  EXPECT_TRUE(contains(traces_.texts("Snmp"),
                       "breltaStormControlIfTable_handler: request GET for column "
                       "breltaStormControlIfDrops, key {ifIndex=5, trafficClass=multicast}"));
}

// Processed requests are skipped; a request without a data context ends the call quietly; an
// invalid column is noSuchObject and ends the call.
TEST_F(HandlerTest, GetSkipsAndStops) {
  addRows({Key(5, TC::all)});
  request(2, Key(5, TC::all));
  request(4, Key(5, TC::all));
  request(5, Key(5, TC::all));
  request(2, Key(5, TC::all));
  requests_[0].processed = 1;
  EXPECT_EQ(handle(MODE_GET), SNMP_ERR_NOERROR);
  EXPECT_EQ(requests_[0].requestvb->type, ASN_NULL);
  EXPECT_EQ(requests_[1].requestvb->type, ASN_COUNTER64);
  EXPECT_EQ(requests_[2].requestvb->type, SNMP_NOSUCHOBJECT);
  EXPECT_EQ(requests_[3].requestvb->type, ASN_NULL);
  EXPECT_TRUE(contains(traces_.texts("Snmp"), "breltaStormControlIfTable invalid column 5"));
  EXPECT_TRUE(contains(traces_.texts("Snmp"), " already processed"));

  clearRequests();
  request(2, std::nullopt);
  request(2, Key(5, TC::all));
  EXPECT_EQ(handle(MODE_GET), SNMP_ERR_NOERROR);
  EXPECT_EQ(requests_[0].requestvb->type, ASN_NULL);
  EXPECT_EQ(requests_[1].requestvb->type, ASN_NULL);
  EXPECT_TRUE(contains(traces_.texts("Snmp"),
                       "breltaStormControlIfTable_handler: null data context in request"));
}

// Any mode but GET is refused on the first unprocessed request, with notWritable.
TEST_F(HandlerTest, WritesAreRefused) {
  addRows({Key(5, TC::all)});
  request(2, Key(5, TC::all));
  request(3, Key(5, TC::all));
  request(4, Key(5, TC::all));
  requests_[0].processed = 1;
  EXPECT_EQ(handle(MODE_SET_RESERVE1), SNMP_ERR_NOERROR);
  EXPECT_EQ(requests_[0].status, 0);
  EXPECT_EQ(requests_[1].status, SNMP_ERR_NOTWRITABLE);
  EXPECT_EQ(requests_[2].status, 0);
  EXPECT_TRUE(contains(traces_.texts("Snmp"), "breltaStormControlIfTable invalid column 3"));
  EXPECT_EQ(mib_->stormControlIfTable().count(), 1u);
}

// ======== whole requests =====================================================================

/// One variable of an answer: OID, type and value (integers and Counter64 as numbers).
struct Answered {
  std::vector<oid> name;
  int type;
  long long value;
  bool operator==(const Answered&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Answered& a) {
  for (oid o : a.name) out << '.' << o;
  return out << " type " << a.type << " = " << a.value;
}

/// A v2c manager in this process; `send` drives the agent and the manager on this thread until
/// the answer arrives.
class RequestTest : public MibModuleTest {
 protected:
  RequestTest() {
    init_breltaStormControlMIB("");
    session_ = open("public");
  }
  ~RequestTest() override { snmp_close(session_); }

  static netsnmp_session* open(const char* community) {
    netsnmp_session s;
    snmp_sess_init(&s);
    s.version = SNMP_VERSION_2c;
    const std::string peer = "udp:127.0.0.1:" + std::to_string(NetSnmpAgent::port);
    s.peername = const_cast<char*>(peer.c_str());
    s.community = reinterpret_cast<u_char*>(const_cast<char*>(community));
    s.community_len = strlen(community);
    s.timeout = 2000000;
    s.retries = 0;
    return snmp_open(&s);
  }

  static std::vector<oid> column(oid c, std::vector<oid> index = {}) {
    std::vector<oid> name = tableOid;
    name.push_back(1);
    name.push_back(c);
    name.insert(name.end(), index.begin(), index.end());
    return name;
  }

  std::vector<Answered> send(int command, const std::vector<std::vector<oid>>& names,
                             long nonRepeaters = 0, long maxRepetitions = 0) {
    return send(session_, snmp_pdu_create(command), names, nonRepeaters, maxRepetitions);
  }
  std::vector<Answered> send(netsnmp_session* session, netsnmp_pdu* pdu,
                             const std::vector<std::vector<oid>>& names, long nonRepeaters = 0,
                             long maxRepetitions = 0) {
    const int command = pdu->command;
    if (command == SNMP_MSG_GETBULK) {
      pdu->non_repeaters = nonRepeaters;
      pdu->max_repetitions = maxRepetitions;
    }
    for (const auto& name : names) {
      if (command == SNMP_MSG_SET) {
        snmp_pdu_add_variable(pdu, name.data(), name.size(), ASN_INTEGER,
                              reinterpret_cast<const u_char*>(&setValue), sizeof setValue);
      } else {
        snmp_add_null_var(pdu, name.data(), name.size());
      }
    }
    Exchange exchange;
    EXPECT_NE(snmp_async_send(session, pdu, &Exchange::received, &exchange), 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!exchange.done && std::chrono::steady_clock::now() < deadline) pump();
    EXPECT_TRUE(exchange.done) << "no answer";
    errorStatus = exchange.errorStatus;
    return exchange.answers;
  }

  long errorStatus = 0;
  static constexpr long setValue = 9;
  netsnmp_session* session_ = nullptr;

 private:
  struct Exchange {
    bool done = false;
    long errorStatus = 0;
    std::vector<Answered> answers;

    static int received(int op, netsnmp_session*, int, netsnmp_pdu* pdu, void* magic) {
      auto* self = static_cast<Exchange*>(magic);
      self->done = true;
      if (op != NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE) return 1;
      self->errorStatus = pdu->errstat;
      for (netsnmp_variable_list* v = pdu->variables; v; v = v->next_variable) {
        long long value = 0;
        if (v->type == ASN_INTEGER) value = *v->val.integer;
        if (v->type == ASN_COUNTER64) {
          value =
              static_cast<long long>((U64(v->val.counter64->high) << 32) | v->val.counter64->low);
        }
        self->answers.push_back(
            {std::vector<oid>(v->name, v->name + v->name_length), v->type, value});
      }
      return 1;
    }
  };

  static void pump() {
    int fds = 0, block = 0;
    fd_set readable;
    FD_ZERO(&readable);
    timeval timeout{0, 100000};
    snmp_select_info(&fds, &readable, &timeout, &block);
    if (select(fds, &readable, nullptr, nullptr, &timeout) > 0) {
      snmp_read(&readable);
    } else {
      snmp_timeout();
    }
    netsnmp_check_outstanding_agent_requests();
  }
};

// GET of present and absent rows and of columns outside 2 to 4; GETNEXT from a row, across a
// column's end and the table's end; GETBULK across columns; one GETNEXT with several mixed
// and descending indexes.
TEST_F(RequestTest, AnswersGetGetNextAndGetBulk) {
  addRows({Key(3, TC::all), Key(3, TC::unknownUnicast), Key(7, TC::broadcast)});
  EXPECT_EQ(send(SNMP_MSG_GET,
                 {column(2, {3, 3}), column(4, {3, 2}), column(5, {3, 0}), column(1, {3, 0})}),
            (std::vector<Answered>{{column(2, {3, 3}), ASN_COUNTER64, 500},
                                   {column(4, {3, 2}), SNMP_NOSUCHINSTANCE, 0},
                                   {column(5, {3, 0}), SNMP_NOSUCHOBJECT, 0},
                                   {column(1, {3, 0}), SNMP_NOSUCHOBJECT, 0}}));
  EXPECT_EQ(send(SNMP_MSG_GETNEXT, {column(4, {3, 0}), column(2, {7, 1}), column(3, {3}),
                                    column(4, {7, 1}), column(2, {9})}),
            (std::vector<Answered>{{column(4, {3, 3}), ASN_COUNTER64, 43},
                                   {column(3, {3, 0}), ASN_INTEGER, 1},
                                   {column(3, {3, 0}), ASN_INTEGER, 1},
                                   {column(4, {7, 1}), SNMP_ENDOFMIBVIEW, 0},
                                   {column(3, {3, 0}), ASN_INTEGER, 1}}));
  const auto bulk = send(SNMP_MSG_GETBULK, {column(2)}, 0, 1000);
  ASSERT_EQ(bulk.size(), 10u);  // nine values, then the end of the view
  EXPECT_EQ(bulk[0], (Answered{column(2, {3, 0}), ASN_COUNTER64, 500}));
  EXPECT_EQ(bulk[3], (Answered{column(3, {3, 0}), ASN_INTEGER, 1}));
  EXPECT_EQ(bulk[8], (Answered{column(4, {7, 1}), ASN_COUNTER64, 41}));
  EXPECT_EQ(bulk[9].type, SNMP_ENDOFMIBVIEW);
}

// A GETNEXT walk paused on a row that is then removed goes on at the next row still present,
// and sees a row inserted behind it, not one inserted before; the hint does the start.
TEST_F(RequestTest, WalkSurvivesChangesBetweenRequests) {
  addRows({Key(3, TC::all), Key(5, TC::all), Key(9, TC::all)});
  auto step = [&](std::vector<oid> from) { return send(SNMP_MSG_GETNEXT, {from}).at(0).name; };
  const auto at5 = step(column(2, {3, 0}));
  EXPECT_EQ(at5, column(2, {5, 0}));
  mib_->stormControlIfTableDel(Key(5, TC::all));
  addRows({Key(4, TC::all), Key(6, TC::all)});
  EXPECT_EQ(step(at5), column(2, {6, 0}));
  EXPECT_EQ(step(column(2, {6, 0})), column(2, {9, 0}));
  EXPECT_GE(counted(Counter::getFirstFromHint), 2u);
  EXPECT_EQ(breltaStormControlIfTable_entry::memAllocationTracker_.liveObjects, 0u);
}

// SET is refused with nothing changed: by the agent's access control for a read-only
// community, by the handler (notWritable) for a community that may write.
TEST_F(RequestTest, SetIsRefused) {
  addRows({Key(3, TC::all)});
  for (oid c : {2, 3, 4}) {
    send(session_, snmp_pdu_create(SNMP_MSG_SET), {column(c, {3, 0})});
    EXPECT_EQ(errorStatus, SNMP_ERR_NOACCESS) << "column " << c;
  }
  netsnmp_session* writer = open("private");
  for (oid c : {2, 3, 4}) {
    send(writer, snmp_pdu_create(SNMP_MSG_SET), {column(c, {3, 0})});
    EXPECT_EQ(errorStatus, SNMP_ERR_NOTWRITABLE) << "column " << c;
  }
  snmp_close(writer);
  EXPECT_EQ(send(SNMP_MSG_GET, {column(2, {3, 0})}).at(0).value, 500);
}

// Rows with an ifIndex of 2^31 or more are found by GET and walked in order by GETNEXT, past
// the largest signed ifIndex and on to the end of the column, each request starting at its row.
TEST_F(RequestTest, LargeIfIndexesAreServedInOrder) {
  addRows({Key(2147483647u, TC::all), Key(2147483648u, TC::all), Key(3000000000u, TC::multicast),
           Key(4294967295u, TC::all)});
  EXPECT_EQ(send(SNMP_MSG_GET, {column(2, {3000000000u, 2})}).at(0).value, 500);
  const U64 startsBefore = counted(Counter::getFirstFromStart);
  std::vector<std::vector<oid>> walked;
  for (auto at = column(2); walked.size() < 10;) {
    const Answered next = send(SNMP_MSG_GETNEXT, {at}).at(0);
    if (next.name.size() != column(2).size() + 2 || next.name[12] != 2) break;
    walked.push_back(at = next.name);
  }
  EXPECT_EQ(walked, (std::vector<std::vector<oid>>{
                        column(2, {2147483647u, 0}), column(2, {2147483648u, 0}),
                        column(2, {3000000000u, 2}), column(2, {4294967295u, 0})}));
  // Only the walk's first request starts at the first row, and the last one once more as it
  // goes on into the next column; every other request starts at its own row.
  EXPECT_EQ(counted(Counter::getFirstFromStart) - startsBefore, 2u);
}

// Once the context is withdrawn the table is gone from the agent.
TEST_F(RequestTest, UnregisteredTableIsGone) {
  addRows({Key(3, TC::all)});
  unregister_breltaStormControlMIB("");
  EXPECT_EQ(send(SNMP_MSG_GET, {column(2, {3, 0})}).at(0).type, SNMP_NOSUCHOBJECT);
}

}  // namespace
