// bench/walk_gap_probe.cpp — measures how long an agent goes without answering.
//
/// Sends SNMPv2c GET requests for one OID back to back on one session (the next request leaves
/// as soon as the previous answer arrives) and records when each answer arrives. It writes
/// "probe ready" to stderr after the first answer; on SIGTERM or SIGINT it stops and prints one
/// line to stdout:
///   answers N errors E longest_gap_ms G median_gap_us M span_s S
/// where the gaps are the times between consecutive answers. A request that gets no answer
/// within the timeout counts as an error; the gap then spans it.
/// Usage: walk_gap_probe PEER COMMUNITY OID  (PEER in net-snmp syntax, e.g. 127.0.0.1:1161).
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

volatile std::sig_atomic_t stopRequested = 0;

void requestStop(int) { stopRequested = 1; }

void installStopHandler() {
  struct sigaction action {};
  action.sa_handler = requestStop;  // no SA_RESTART: a blocked wait returns at once
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
}

netsnmp_session* openSession(const char* peer, const char* community) {
  netsnmp_session settings;
  snmp_sess_init(&settings);
  settings.peername = const_cast<char*>(peer);
  settings.version = SNMP_VERSION_2c;
  settings.community = reinterpret_cast<u_char*>(const_cast<char*>(community));
  settings.community_len = std::char_traits<char>::length(community);
  settings.timeout = 2000000;  // µs; a longer silence is a failure of the agent anyway
  settings.retries = 0;
  return snmp_open(&settings);
}

/// One GET; true when a response PDU without error arrived.
bool getOnce(netsnmp_session* session, const oid* name, std::size_t nameLen) {
  netsnmp_pdu* request = snmp_pdu_create(SNMP_MSG_GET);
  snmp_add_null_var(request, name, nameLen);
  netsnmp_pdu* response = nullptr;
  const int status = snmp_synch_response(session, request, &response);
  const bool ok = status == STAT_SUCCESS && response != nullptr &&
                  response->errstat == SNMP_ERR_NOERROR && response->variables != nullptr &&
                  response->variables->type != SNMP_NOSUCHOBJECT &&
                  response->variables->type != SNMP_NOSUCHINSTANCE;
  if (response != nullptr) snmp_free_pdu(response);
  return ok;
}

double milliseconds(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s PEER COMMUNITY OID\n", argv[0]);
    return 2;
  }
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_PERSIST_STATE, 1);
  setenv("MIBS", "", 1);  // numeric OIDs only: load no MIB module
  init_snmp("walk_gap_probe");

  oid name[MAX_OID_LEN];
  std::size_t nameLen = MAX_OID_LEN;
  if (read_objid(argv[3], name, &nameLen) == 0) {
    std::fprintf(stderr, "walk_gap_probe: bad OID %s\n", argv[3]);
    return 2;
  }
  netsnmp_session* session = openSession(argv[1], argv[2]);
  if (session == nullptr) {
    snmp_perror("walk_gap_probe");
    return 1;
  }
  installStopHandler();

  std::vector<Clock::duration> gaps;
  gaps.reserve(1 << 20);
  long answers = 0;
  long errors = 0;
  Clock::time_point first{};
  Clock::time_point last{};
  while (!stopRequested) {
    const bool ok = getOnce(session, name, nameLen);
    if (stopRequested) break;
    if (!ok) {
      ++errors;
      continue;
    }
    const Clock::time_point now = Clock::now();
    if (answers == 0) {
      first = now;
      std::fprintf(stderr, "probe ready\n");
    } else {
      gaps.push_back(now - last);
    }
    last = now;
    ++answers;
  }
  snmp_close(session);

  Clock::duration longest{};
  Clock::duration median{};
  if (!gaps.empty()) {
    longest = *std::max_element(gaps.begin(), gaps.end());
    std::nth_element(gaps.begin(), gaps.begin() + gaps.size() / 2, gaps.end());
    median = gaps[gaps.size() / 2];
  }
  std::printf("answers %ld errors %ld longest_gap_ms %.3f median_gap_us %.1f span_s %.3f\n",
              answers, errors, milliseconds(longest), milliseconds(median) * 1000.0,
              milliseconds(last - first) / 1000.0);
  return answers > 0 ? 0 : 1;
}
