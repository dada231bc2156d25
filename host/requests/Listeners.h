// host/requests/Listeners.h — the agent's listening sessions, with the guards net-snmp 5.9 lacks.
///
/// Each endpoint (`--listen`, or -C's agentaddress) becomes one net-snmp session made as the
/// agent library's own `init_master_agent` makes it, answered by its `handle_snmp_packet`, with
/// hooks of ours in the receive and send paths:
/// - a datagram that `screenDatagram` faults is dropped before net-snmp reads it
///   (DatagramScreen.h);
/// - net-snmp answers a GETBULK with at most a budget of repeated values (`maxGetbulkResponses`,
///   100 unless configured, and fewer for a small msgMaxSize) and with none at all when there
///   are more repeaters than that; the repeaters past the budget are taken off such a request,
///   so that the manager gets one repetition of as many as fit;
/// - no answer exceeds the smaller of the manager's maximum message size and ours (the
///   transport's). A GETBULK answer loses variables from its end until it fits (RFC 3416
///   4.2.3), where net-snmp loops for ever on an SNMPv3 one; any other answer becomes tooBig
///   without variables (4.2.1; SNMPv1 keeps them, as RFC 1157 asks, when they fit), where
///   net-snmp sends nothing and logs a line per variable;
/// - net-snmp's lines while it parses and answers a datagram, and ours about what the guards
///   did, go through a LogLimiter.
/// One thread. The sessions are closed with this object, which must go before net-snmp shuts
/// down.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "DatagramScreen.h"
#include "LogLimiter.h"

struct snmp_session;
struct snmp_pdu;

namespace Host {

class Listeners {
 public:
  Listeners() = default;
  ~Listeners();
  Listeners(const Listeners&) = delete;
  Listeners& operator=(const Listeners&) = delete;

  /// Opens a session on each of `specs` (net-snmp's endpoint syntax); false, with `error`
  /// naming the endpoint, when one cannot be opened.
  bool open(const std::vector<std::string>& specs, std::string& error);
  /// The guards' counts and the limited log lines, for the SIGUSR1 report.
  void logCounters() const;

 private:
  static int parse(snmp_session* session, snmp_pdu* pdu, unsigned char* data, std::size_t size);
  static int postParse(snmp_session* session, snmp_pdu* pdu, int result);
  static int received(int operation, snmp_session* session, int requestId, snmp_pdu* pdu,
                      void* magic);
  static int build(snmp_session* session, snmp_pdu* pdu, unsigned char** buffer,
                   std::size_t* bufferSize, std::size_t* length);

  /// Takes the repeaters past net-snmp's budget off a GETBULK.
  void keepOneRepetition(snmp_pdu& pdu);
  /// Encodes a GETBULK answer with as many of its variables as fit in `pdu.msgMaxSize`.
  int buildTrimmed(snmp_session* session, snmp_pdu* pdu, unsigned char** buffer,
                   std::size_t* bufferSize, std::size_t* length);
  /// Encodes net-snmp's tooBig answer without variables (SNMPv1: with them while they fit),
  /// counted and logged.
  int buildTooBig(snmp_session* session, snmp_pdu* pdu, unsigned char** buffer,
                  std::size_t* bufferSize, std::size_t* length);

  LogLimiter log_;
  std::vector<snmp_session*> sessions_;
  std::array<unsigned long long, datagramFaultCount> dropped_{};
  unsigned long long tooBig_ = 0;
  unsigned long long bulkTrimmed_ = 0;
  unsigned long long bulkCapped_ = 0;
};

}  // namespace Host
