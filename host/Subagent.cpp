// host/Subagent.cpp — AgentX subagent set-up and the connection's log lines.
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

int Subagent::onConnected(int /*major*/, int /*minor*/, void* /*serverArg*/, void* /*client*/) {
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
