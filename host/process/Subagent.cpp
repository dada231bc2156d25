// host/process/Subagent.cpp — AgentX subagent set-up and the connection's log lines.
#include "Subagent.h"

// net-snmp wants its configuration header first.
#include <net-snmp/net-snmp-config.h>

#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/agent_callbacks.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

#include <utility>

#include "Pondo/Assert.h"

namespace Host {
namespace {

/// The socket and interval net-snmp uses: a -C file's agentXSocket or agentxPingInterval
/// line overrides the command line's.
const char* masterSocket() {
  const char* socket = netsnmp_ds_get_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_X_SOCKET);
  return socket ? socket : "";
}

int pingInterval() {
  return netsnmp_ds_get_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_PING_INTERVAL);
}

/// The callbacks' object. Not passed as their client argument: snmp_shutdown frees every
/// callback's client argument.
Subagent* instance = nullptr;

/// net-snmp's own handler of the master's requests, which `received` wraps.
snmp_callback agentxHandler = nullptr;

/// AgentX sub-identifiers are 32 bits, but net-snmp 5.9 reads each into an int before storing
/// it, so one of 2^31 or more arrives sign-extended (2^31 as 0xFFFFFFFF80000000) and a row
/// with such an ifIndex could not be read or walked past. The low 32 bits are the sent value.
void keepLow32Bits(oid* name, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) name[i] &= 0xFFFFFFFF;
}

/// Repairs the names and the search ranges' ends of a request from the master, then hands it
/// to net-snmp.
int received(int operation, netsnmp_session* session, int requestId, netsnmp_pdu* pdu,
             void* magic) {
  if (operation == NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE && pdu) {
    for (netsnmp_variable_list* v = pdu->variables; v; v = v->next_variable) {
      keepLow32Bits(v->name, v->name_length);
      if (v->type == ASN_PRIV_INCL_RANGE || v->type == ASN_PRIV_EXCL_RANGE) {
        keepLow32Bits(v->val.objid, v->val_len / sizeof(oid));
      }
    }
  }
  return agentxHandler(operation, session, requestId, pdu, magic);
}

}  // namespace

Subagent::Subagent(std::string socket, U32 pingSeconds)
    : socket_(std::move(socket)), pingSeconds_(pingSeconds) {
  PONDO_ASSERT_MSG(!instance, "one subagent at a time");
  instance = this;
}

Subagent::~Subagent() {
  snmp_unregister_callback(SNMP_CALLBACK_APPLICATION, SNMPD_CALLBACK_INDEX_START,
                           &Subagent::onConnected, nullptr, 1);
  snmp_unregister_callback(SNMP_CALLBACK_APPLICATION, SNMPD_CALLBACK_INDEX_STOP,
                           &Subagent::onDisconnected, nullptr, 1);
  instance = nullptr;
}

void Subagent::beforeInitAgent() const {
  netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_ROLE, 1);  // subagent
  netsnmp_ds_set_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_X_SOCKET, socket_.c_str());
  // net-snmp warns at every failed attempt, once per interval while the master is away; the
  // lines logged here say it once.
  netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_NO_CONNECTION_WARNINGS, 1);
}

void Subagent::afterInitAgent() {
  netsnmp_ds_set_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_PING_INTERVAL,
                     int(pingSeconds_));
  // The subagent waits for the master's answer to its open, ping, register and close messages
  // in a loop of its own, during which nothing else runs: one timeout (1 s), not six.
  netsnmp_ds_set_int(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_RETRIES, 0);
  // The subagent announces a new session to the index allocator with INDEX_START and a lost
  // one with INDEX_STOP: the only notice it gives of either.
  snmp_register_callback(SNMP_CALLBACK_APPLICATION, SNMPD_CALLBACK_INDEX_START,
                         &Subagent::onConnected, nullptr);
  snmp_register_callback(SNMP_CALLBACK_APPLICATION, SNMPD_CALLBACK_INDEX_STOP,
                         &Subagent::onDisconnected, nullptr);
}

void Subagent::afterInitSnmp() const {
  if (connected_) return;
  snmp_log(LOG_WARNING, "agentx: no master at %s yet; retrying every %d s\n", masterSocket(),
           pingInterval());
}

int Subagent::onConnected(int /*major*/, int /*minor*/, void* serverArg, void* /*client*/) {
  // The new session to the master: its requests go through `received` first.
  auto* session = static_cast<netsnmp_session*>(serverArg);
  if (session && session->callback != &received) {
    agentxHandler = session->callback;
    session->callback = &received;
  }
  if (instance) instance->connected_ = true;
  snmp_log(LOG_INFO, "agentx: connected to master at %s\n", masterSocket());
  return SNMPERR_SUCCESS;
}

int Subagent::onDisconnected(int /*major*/, int /*minor*/, void* /*serverArg*/, void* /*client*/) {
  if (instance) instance->connected_ = false;
  snmp_log(LOG_WARNING, "agentx: lost master at %s; retrying every %d s\n", masterSocket(),
           pingInterval());
  return SNMPERR_SUCCESS;
}

}  // namespace Host
