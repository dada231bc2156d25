// host/requests/Listeners.cpp — the listening sessions and their hooks.
#include "Listeners.h"

// net-snmp wants its configuration header first.
#include <net-snmp/net-snmp-config.h>

#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

#include <algorithm>
#include <cstring>

#include <fmt/format.h>

namespace Host {
namespace {

/// net-snmp's defaults for the GETBULK budget (snmp_agent.c: maxresponses, avgBulkVarbindSize).
constexpr long defaultBulkResponses = 100;
constexpr long defaultVarbindSize = 15;

Listeners& owner(netsnmp_session* session) {
  return *static_cast<Listeners*>(session->callback_magic);
}

/// The largest answer this session may send: the transport's and net-snmp's limits, and the
/// manager's where it stated one.
std::size_t answerLimit(netsnmp_session* session, const netsnmp_pdu& pdu) {
  std::size_t limit = std::min<std::size_t>(netsnmp_max_send_msg_size(), session->sndMsgMaxSize);
  if (const netsnmp_transport* transport = snmp_sess_transport(snmp_sess_pointer(session))) {
    if (transport->msgMaxSize > 0) limit = std::min(limit, transport->msgMaxSize);
  }
  if (pdu.msgMaxSize > 0) limit = std::min(limit, static_cast<std::size_t>(pdu.msgMaxSize));
  return limit;
}

/// The most values net-snmp puts in one GETBULK answer, as it computes it.
long bulkBudget(const netsnmp_pdu& pdu) {
  long budget =
      netsnmp_ds_get_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_MAX_GETBULKRESPONSES);
  if (budget == 0) budget = defaultBulkResponses;
  if (budget < 0) return LONG_MAX;
  long varbindSize =
      netsnmp_ds_get_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AVG_BULKVARBINDSIZE);
  if (varbindSize <= 0) varbindSize = defaultVarbindSize;
  const long size = pdu.msgMaxSize > 0 ? pdu.msgMaxSize : long(netsnmp_max_send_msg_size());
  return std::max(1L, std::min(budget, size / varbindSize));
}

/// Builds `pdu` as the hook must leave it: the packet at the start of `*buffer`.
int encode(netsnmp_session* session, netsnmp_pdu* pdu, unsigned char** buffer,
           std::size_t* bufferSize, std::size_t* length) {
  std::size_t offset = 0;
  if (snmp_build(buffer, bufferSize, &offset, session, pdu) != 0) return -1;
  std::memmove(*buffer, *buffer + *bufferSize - offset, offset);  // built from the end back
  *length = offset;
  return 0;
}

/// The `count` first variables stay linked to `pdu`; the returned rest is cut off.
netsnmp_variable_list* cutAfter(netsnmp_pdu& pdu, std::size_t count) {
  netsnmp_variable_list** link = &pdu.variables;
  for (; *link && count; --count) link = &(*link)->next_variable;
  netsnmp_variable_list* rest = *link;
  *link = nullptr;
  return rest;
}

void append(netsnmp_pdu& pdu, netsnmp_variable_list* rest) {
  netsnmp_variable_list** link = &pdu.variables;
  while (*link) link = &(*link)->next_variable;
  *link = rest;
}

/// A tooBig answer's variables go (RFC 3416 4.2.1), and its error-index with them.
void dropVariables(netsnmp_pdu& pdu) {
  snmp_free_varbind(pdu.variables);
  pdu.variables = nullptr;
  pdu.errindex = 0;
}

std::size_t countOf(const netsnmp_variable_list* variables) {
  std::size_t count = 0;
  for (; variables; variables = variables->next_variable) ++count;
  return count;
}

}  // namespace

Listeners::~Listeners() {
  for (netsnmp_session* session : sessions_) snmp_close(session);
}

bool Listeners::open(const std::vector<std::string>& specs, std::string& error) {
  // Encoded from the end back, as `encode` expects (net-snmp's default).
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_REVERSE_ENCODE, 1);
  for (const std::string& spec : specs) {
    netsnmp_transport* transport = netsnmp_transport_open_server("snmp", spec.c_str());
    if (transport && transport->f_open) transport = transport->f_open(transport);
    if (!transport) {
      error = "cannot listen on " + spec;
      return false;
    }
    transport->flags |= NETSNMP_TRANSPORT_FLAG_OPENED;
    netsnmp_session settings;
    snmp_sess_init(&settings);
    settings.version = SNMP_DEFAULT_VERSION;
    settings.callback = &Listeners::received;
    settings.callback_magic = this;
    settings.flags = netsnmp_ds_get_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_FLAGS);
    settings.isAuthoritative = SNMP_SESS_AUTHORITATIVE;
    netsnmp_session* session =
        snmp_add_full(&settings, transport, netsnmp_agent_check_packet, &Listeners::parse,
                      &Listeners::postParse, nullptr, &Listeners::build, nullptr, nullptr);
    if (!session) {  // the transport is freed with it
      error = "cannot listen on " + spec;
      return false;
    }
    sessions_.push_back(session);
  }
  return true;
}

int Listeners::parse(netsnmp_session* session, netsnmp_pdu* pdu, unsigned char* data,
                     std::size_t size) {
  Listeners& self = owner(session);
  const DatagramFault fault = screenDatagram({data, size});
  if (fault != DatagramFault::none) {
    ++self.dropped_[static_cast<std::size_t>(fault)];
    self.log_.record(LOG_WARNING, fmt::format("dropped a request: {}\n", datagramFaultName(fault)));
    return SNMPERR_BAD_PARSE;
  }
  LogLimiter::Gate gate(self.log_);
  return snmp_parse(static_cast<session_list*>(snmp_sess_pointer(session)), session, pdu, data,
                    size);
}

int Listeners::postParse(netsnmp_session* session, netsnmp_pdu* pdu, int result) {
  if (!netsnmp_agent_check_parse(session, pdu, result)) return 0;
  if (pdu->command == SNMP_MSG_GETBULK) owner(session).keepOneRepetition(*pdu);
  return 1;
}

void Listeners::keepOneRepetition(netsnmp_pdu& pdu) {
  const long count = long(countOf(pdu.variables));
  const long nonRepeaters = std::clamp(pdu.non_repeaters, 0L, count);
  const long budget = bulkBudget(pdu);
  if (pdu.max_repetitions <= 0 || count - nonRepeaters <= budget) return;
  snmp_free_varbind(cutAfter(pdu, std::size_t(nonRepeaters + budget)));
  ++bulkCapped_;
}

int Listeners::received(int operation, netsnmp_session* session, int requestId, netsnmp_pdu* pdu,
                        void* /*magic: ours, not the agent session handle_snmp_packet takes*/) {
  LogLimiter::Gate gate(owner(session).log_);
  return handle_snmp_packet(operation, session, requestId, pdu, nullptr);
}

// net-snmp builds an answer, and builds it again with UCD_MSG_FLAG_BULK_TOOBIG set when it
// answers a GETBULK and came out too large; it takes any other too large answer for tooBig and
// builds the request's copy with that error.
int Listeners::build(netsnmp_session* session, netsnmp_pdu* pdu, unsigned char** buffer,
                     std::size_t* bufferSize, std::size_t* length) {
  Listeners& self = owner(session);
  pdu->msgMaxSize = long(answerLimit(session, *pdu));
  const bool bulkTooBig = pdu->flags & UCD_MSG_FLAG_BULK_TOOBIG;
  pdu->flags &= ~(UCD_MSG_FLAG_BULK_TOOBIG | UCD_MSG_FLAG_FORWARD_ENCODE);
  if (bulkTooBig) return self.buildTrimmed(session, pdu, buffer, bufferSize, length);
  if (pdu->command != SNMP_MSG_RESPONSE || pdu->errstat != SNMP_ERR_TOOBIG) {
    return encode(session, pdu, buffer, bufferSize, length);
  }
  return self.buildTooBig(session, pdu, buffer, bufferSize, length);
}

int Listeners::buildTooBig(netsnmp_session* session, netsnmp_pdu* pdu, unsigned char** buffer,
                           std::size_t* bufferSize, std::size_t* length) {
  ++tooBig_;
  log_.record(LOG_WARNING, fmt::format("answered tooBig: the answer to {} variables exceeds {} "
                                       "bytes\n",
                                       countOf(pdu->variables), pdu->msgMaxSize));
  if (pdu->version != SNMP_VERSION_1) dropVariables(*pdu);
  const int result = encode(session, pdu, buffer, bufferSize, length);
  if (result != 0 || *length <= std::size_t(pdu->msgMaxSize) || !pdu->variables) return result;
  dropVariables(*pdu);
  return encode(session, pdu, buffer, bufferSize, length);
}

int Listeners::buildTrimmed(netsnmp_session* session, netsnmp_pdu* pdu, unsigned char** buffer,
                            std::size_t* bufferSize, std::size_t* length) {
  const std::size_t limit = std::size_t(pdu->msgMaxSize);
  const auto fits = [&](std::size_t count) {
    netsnmp_variable_list* rest = cutAfter(*pdu, count);
    const bool ok = encode(session, pdu, buffer, bufferSize, length) == 0 && *length <= limit;
    append(*pdu, rest);
    return ok;
  };
  // The largest count that fits: `low` always fits, `high` never does.
  std::size_t low = 0;
  std::size_t high = countOf(pdu->variables) + 1;
  if (!fits(low)) return -1;  // not even the envelope: net-snmp answers genErr
  while (high - low > 1) {
    const std::size_t middle = low + (high - low) / 2;
    (fits(middle) ? low : high) = middle;
  }
  snmp_free_varbind(cutAfter(*pdu, low));
  ++bulkTrimmed_;
  return encode(session, pdu, buffer, bufferSize, length);
}

void Listeners::logCounters() const {
  std::string line = "requests:";
  for (std::size_t i = 1; i < datagramFaultCount; ++i) {
    line += fmt::format(" dropped.{}={}", datagramFaultName(DatagramFault(i)), dropped_[i]);
  }
  line +=
      fmt::format(" tooBig={} bulkTrimmed={} bulkCapped={}", tooBig_, bulkTrimmed_, bulkCapped_);
  snmp_log(LOG_INFO, "%s\n", line.c_str());
  log_.logCounters();
}

}  // namespace Host
