// The SNMP table module inside net-snmp's agent library: registration per context, and whole
// requests over the library's in-process callback transport, through the helper chain, the
// module's iterator callbacks and its handler, each scenario recorded in expected-requests.txt.
#include "StormControlSnmp/breltaStormControlMIB.h"

#include <gtest/gtest.h>
// net-snmp wants its configuration header first.
#include <net-snmp/net-snmp-config.h>

#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>
#include <net-snmp/library/snmpCallbackDomain.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "Qel/Dir.h"
#include "Snmp/MibContext.h"
#include "Snmp/RegVoidCollByContext.h"
#include "SnmpUtil/SnmpUtil.h"
#include "TraceCapture.h"

namespace {

using Bridging::StormControl::IntfStatus;
using T = Bridging::StormControl::ThresholdType;
using TC = StormControlSnmp::StormControlTCType;
using Key = StormControlSnmp::StormControlIfTableKey;
using Oid = std::vector<oid>;
namespace Contract = StormControlSnmp::Contract;
constexpr const char* tableName = "breltaStormControlIfTable";

/// A manager session, made with the agent library on first use, over the callback transport,
/// which hands PDUs over unencoded: arcs beyond 32 bits arrive as sent.
netsnmp_session* manager() {
  static netsnmp_session* const session = [] {
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
    netsnmp_ds_set_int(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_OID_OUTPUT_FORMAT,
                       NETSNMP_OID_OUTPUT_NUMERIC);
    setenv("MIBS", "", 1);  // load no MIB module
    init_agent("breltaStormControlMIBTest");
    init_snmp("breltaStormControlMIBTest");
    netsnmp_session* agent = netsnmp_callback_open(
        0, handle_snmp_packet, netsnmp_agent_check_packet, netsnmp_agent_check_parse);
    return netsnmp_callback_open(agent->local_port, nullptr, nullptr, nullptr);
  }();
  return session;
}

/// Instance `index` of column `c` (the column itself without an index).
Oid column(oid c, Oid index = {}) {
  index.insert(index.begin(), c);
  index.insert(index.begin(), Contract::entryOid.begin(), Contract::entryOid.end());
  return index;
}

/// The table entity at its path, the traces of "Snmp", requests to the agent, and a transcript
/// compared with the test's section of expected-requests.txt (REQUESTS_RECORD=1 writes it).
class MibModuleTest : public ::testing::Test {
 protected:
  MibModuleTest() {
    manager();  // the agent library before any registration
    const auto mount = Pondo::make<Qel::Dir>("agent"), snmp = Pondo::make<Qel::Dir>("snmp");
    mount->entityIs(snmp);
    snmp->entityIs(storm_);
    storm_->entityIs(mib_);
    SnmpUtil::agentMountIs(mount);
  }
  ~MibModuleTest() override {
    unregister_breltaStormControlMIB("");
    SnmpUtil::agentMountIs(nullptr);
  }
  void TearDown() override {
    write("");
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string title = "\n== " + std::string(test->test_suite_name()) + "." + test->name();
    std::stringstream in;
    in << std::ifstream(REQUESTS_EXPECTED).rdbuf();
    std::string file = in.str();
    if (file.find(title + "\n") == std::string::npos) {
      file += (file.empty() ? title : title.substr(1)) + "\n\n";  // a new, empty section
    }
    const std::size_t start = file.find(title + "\n") + title.size() + 1;
    const std::size_t end = std::min(file.find("\n== ", start), file.size() - 1) + 1;
    if (std::getenv("REQUESTS_RECORD")) {
      std::ofstream(REQUESTS_EXPECTED) << file.replace(start, end - start, transcript_ + "\n");
    } else {
      EXPECT_EQ(file.substr(start, end - start), transcript_ + "\n")
          << "the transcript differs from expected-requests.txt; REQUESTS_RECORD=1 records it";
    }
  }

  /// Adds the traces since the last line, then `line` unless it is empty; names below the table's
  /// entry are written from their column on, addresses as "0x*".
  void write(const std::string& line) {
    std::string text;
    for (const auto& r : traces_.records) {
      if (r.facility == "Snmp") text += "  trace " + std::to_string(r.level) + " " + r.text + "\n";
    }
    traces_.records.clear();
    text += line.empty() ? "" : line + "\n";
    std::string entry = ".";
    for (const oid arc : Contract::entryOid) entry += std::to_string(arc) + ".";
    for (std::size_t at; (at = text.find(entry)) != std::string::npos;)
      text.erase(at, entry.size());
    for (std::size_t at = 0; (at = text.find("0x", at)) != std::string::npos; at += 3) {
      std::size_t end = at + 2;
      while (end < text.size() && std::isxdigit(static_cast<unsigned char>(text[end]))) ++end;
      text.replace(at, end - at, "0x*");
    }
    transcript_ += text;
  }

  /// Serves or withdraws `context`, then writes how many registrations and column lists the
  /// default context has, and which contexts have the host's record and note.
  void serve(const char* context, bool on) {
    write((on ? "init \"" : "unregister \"") + std::string(context) + '"');
    on ? init_breltaStormControlMIB(context) : unregister_breltaStormControlMIB(context);
    std::ostringstream out;
    out << "  " << breltaStormControlMIBHandlerRegsByContext().size() << " registrations, "
        << breltaStormControlMIBColumnInfosByContext().size() << " column lists";
    for (const char* c : {"", "vrf-blue"}) {
      out << "; \"" << c << '"' << (record(c) ? " record" : "")
          << (Snmp::mibContextExists(c, "breltaStormControlMIB") ? " note" : "");
    }
    write(out.str());
  }
  Snmp::RegVoid* record(const char* context = "") {
    return Snmp::RegVoidCollByContext::instance()->regVoid(context, tableName).get();
  }

  /// Adds rows, then writes every row as ifIndex.class=level/units/drops.
  void rowsIs(std::initializer_list<Key> keys) {
    for (const Key& key : keys) mib_->stormControlIfTableIs(key, status_);
    std::ostringstream out;
    out << "table";
    for (auto it = mib_->stormControlIfTable().begin(); !it.atEnd(); ++it) {
      out << ' ' << it->ifIndex() << '.' << int(it->trafficClass()) << '=' << it->thresholdLevel()
          << '/' << int(it->thresholdUnits()) << '/' << it->drops();
    }
    write(out.str());
  }

  /// Sends `command` for `names` (SET: INTEGER 9 to each) past access control, as an AgentX
  /// master forwards it, and writes it, the answer and what it added to the counters; no walk
  /// context may outlive it.
  void send(int command, const std::vector<Oid>& names) {
    netsnmp_pdu* pdu = snmp_pdu_create(command);
    pdu->version = SNMP_VERSION_2c;
    pdu->community = reinterpret_cast<u_char*>(strdup("public"));
    pdu->community_len = 6;
    pdu->flags |= UCD_MSG_FLAG_ALWAYS_IN_VIEW;
    // The error status and index, zero in a request, are GETBULK's non-repeaters and repetitions.
    pdu->non_repeaters = 0;
    pdu->max_repetitions = command == SNMP_MSG_GETBULK ? 1000 : 0;
    std::string line = snmp_pdu_type(command);
    char text[1024];
    const long nine = 9;
    const bool set = command == SNMP_MSG_SET;
    for (const Oid& name : names) {
      snmp_pdu_add_variable(pdu, name.data(), name.size(), set ? ASN_INTEGER : ASN_NULL,
                            set ? &nine : nullptr, set ? sizeof nine : 0);
      snprint_objid(text, sizeof text, name.data(), name.size());
      line += std::string(" ") + text;
    }
    write(line);
    // The agent answers at once: the wait for the answer reads the agent's side too.
    netsnmp_pdu* response = nullptr;
    ASSERT_EQ(snmp_synch_response(manager(), pdu, &response), STAT_SUCCESS);
    write("  error " + std::string(snmp_errstring(response->errstat)) + " index " +
          std::to_string(response->errindex));
    for (auto* v = response->variables; v; v = v->next_variable) {
      snprint_variable(text, sizeof text, v->name, v->name_length, v);
      write(std::string("  ") + text);
    }
    snmp_free_pdu(response);
    EXPECT_EQ(breltaStormControlIfTable_entry::memAllocationTracker_.liveObjects, 0u)
        << "a walk context outlived its request";
    line = "  counted";
    for (unsigned e = 0; e < counted_.size(); ++e) {
      const auto event = Snmp::OrderedTableIteratorCounterTypes(e);
      const U64 total = record() ? record()->tableCounters()->orderedIterCntr(event) : 0;
      line += " " + std::to_string(total - std::min(total, std::exchange(counted_[e], total)));
    }
    write(line);
  }

  Pondo::Ptr<Qel::Dir> storm_ = Pondo::make<Qel::Dir>("stormcontrol");
  Pondo::Ptr<StormControlSnmp::StormControlMib> mib_ =
      StormControlSnmp::stormControlMibFactory("stormcontrolmib");
  /// Class i: level 500 + i, units i (the last class 3, outside the enumeration), drops 40 + 10 i.
  const Pondo::Ptr<const IntfStatus> status_ = Pondo::make<IntfStatus>(
      "Ethernet1/1", Bridging::StormControl::Classes{{{{{500, T(0), 1}, 40},
                                                       {{501, T(1), 1}, 50},
                                                       {{502, T(2), 1}, 60},
                                                       {{503, T(3), 1}, 70}}}});
  TraceLevels levels_{"Snmp", 0xffff};
  TraceCapture traces_;
  std::string transcript_;
  std::array<U64, 6> counted_{};  // the counters' totals after the last request
};

// Contexts served (only level 8 traced when alone on), withdrawn (twice), and served afresh.
TEST_F(MibModuleTest, ContextsAreServedAndWithdrawn) {
  {
    TraceLevels only8("Snmp", 1u << 8);
    serve("", true);
  }
  serve("vrf-blue", true);
  EXPECT_EQ(record()->payload(), mib_.get());  // the table entity itself
  serve("vrf-blue", false);
  rowsIs({Key(3, TC::all)});
  send(SNMP_MSG_GET, {column(2, {3, 0})});
  for (int round = 0; round < 2; ++round) {
    serve("", false);
    send(SNMP_MSG_GET, {column(2, {3, 0})});
  }
  serve("", true);
  send(SNMP_MSG_GET, {column(2, {3, 0})});
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
  serve("", true);
  EXPECT_DEATH(init_breltaStormControlMIB(""), "result == MIB_REGISTERED_OK");
}

using RequestTest = MibModuleTest;

// Every request kind on an empty table, then rows up to 2^32 - 1 and units outside the enum.
TEST_F(RequestTest, AnswersGetGetNextAndGetBulk) {
  serve("", true);
  send(SNMP_MSG_GETNEXT, {column(2)});
  rowsIs({Key(4294967295u, TC::all), Key(7, TC::broadcast), Key(2147483648u, TC::multicast),
          Key(3, TC::unknownUnicast)});
  send(SNMP_MSG_GET,
       {column(2, {7, 1}), column(3, {7, 1}), column(4, {7, 1}), column(4, {3, 2}),
        column(3, {3, 3}), column(5, {7, 1}), column(1, {7, 1}), column(4, {4294967295u, 0})});
  send(SNMP_MSG_GETNEXT, {column(4, {3, 0}), column(2, {7, 1}), column(3, {3}),
                          column(4, {4294967295u, 0}), column(2, {9})});
  send(SNMP_MSG_GETBULK, {column(2)});
}

// GETNEXT from whole, absent, partial, longer and out-of-range hints, negative ifIndexes too.
TEST_F(RequestTest, HintSelectsTheStart) {
  serve("", true);
  rowsIs({Key(3, TC::all), Key(5, TC::broadcast), Key(9, TC::all), Key(3000000000u, TC::all)});
  constexpr oid negative = ~oid{0} - 1294967295;  // read as -1294967296: 3000000000's 32 bits
  for (const Oid& from :
       {Oid{5, 1}, Oid{3000000000u, 0}, Oid{negative, 0}, Oid{5, 2}, Oid{5}, Oid{5, 1, 1},
        Oid{5, 4}, Oid{5, ~oid{0}}, Oid{5, oid{1} << 31}, Oid{oid{1} << 63, 0}}) {
    send(SNMP_MSG_GETNEXT, {column(2, from)});
  }
}

// A walk resumes at its last answer's row without a search only while the table is unchanged:
// the next request sees a row inserted after that answer, and a removed answer row (still held).
TEST_F(RequestTest, WalkSeesRowsChangedBetweenRequests) {
  serve("", true);
  rowsIs({Key(3, TC::all), Key(5, TC::all)});
  send(SNMP_MSG_GETNEXT, {column(2)});
  rowsIs({Key(3, TC::broadcast)});
  send(SNMP_MSG_GETNEXT, {column(2, {3, 0})});
  const auto held = mib_->stormControlIfTableDel(Key(3, TC::broadcast));
  rowsIs({});
  send(SNMP_MSG_GETNEXT, {column(2, {3, 1})});
}

// SET is refused by the read-only registration, and by the handler of a writable one.
TEST_F(RequestTest, SetIsRefusedByRegistrationAndHandler) {
  serve("", true);
  rowsIs({Key(3, TC::all)});
  const std::vector<Oid> names = {column(4, {3, 0}), column(3, {3, 0})};
  send(SNMP_MSG_SET, names);
  send(SNMP_MSG_GET, names);
  write("registration made writable");
  breltaStormControlMIBHandlerRegsByContext().at("").front()->modes |= HANDLER_CAN_SET;
  send(SNMP_MSG_SET, names);
  send(SNMP_MSG_GET, names);
}

}  // namespace
