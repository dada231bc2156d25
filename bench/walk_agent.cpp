// bench/walk_agent.cpp — the process frame of the walk benchmark's baseline agents.
//
/// A bare net-snmp master agent: no configuration files read, no state persisted, access
/// control by net-snmp's own VACM configured with one read-only community, one loopback UDP
/// listener. Single thread; SIGTERM and SIGINT end the serving loop.
#include "walk_agent.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

// Registers the VACM configuration tokens (rocommunity, ...) and the access check callbacks;
// exported by the agent library, declared in no installed header.
extern "C" void init_vacm_conf(void);

namespace WalkBench {
namespace {

volatile std::sig_atomic_t stopRequested = 0;

void requestStop(int) { stopRequested = 1; }

bool parseNumber(const char* text, unsigned long max, unsigned long& value) {
  char* end = nullptr;
  value = std::strtoul(text, &end, 10);
  return *text != '\0' && *end == '\0' && value <= max;
}

void configureLibrary(const std::string& listen) {
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_PERSIST_STATE, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_ROLE, 0);
  netsnmp_ds_set_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_PORTS, listen.c_str());
  // No log line per packet, and no SMUX peer port (TCP 199): the daemon runs without both.
  netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_DONT_LOG_TCPWRAPPERS_CONNECTS,
                         1);
  static char noSmux[] = "-smux";
  add_to_init_list(noSmux);
  setenv("MIBS", "", 1);  // numeric OIDs only: load no MIB module
  snmp_disable_log();
  snmp_enable_stderrlog();
}

}  // namespace

void setCounter64(netsnmp_variable_list* var, std::uint64_t value) {
  counter64 c{static_cast<u_long>(value >> 32), static_cast<u_long>(value & 0xffffffffu)};
  snmp_set_var_typed_value(var, ASN_COUNTER64, &c, sizeof(c));
}

bool setColumnValue(netsnmp_variable_list* var, unsigned column, RowKey key) {
  switch (column) {
    case levelColumn:
      setCounter64(var, thresholdLevel(key));
      return true;
    case unitsColumn:
      snmp_set_var_typed_integer(var, ASN_INTEGER, thresholdUnits(key));
      return true;
    case dropsColumn:
      setCounter64(var, drops(key));
      return true;
    default:
      return false;
  }
}

int runAgent(int argc, char** argv, const char* name, RegisterTable registerTable) {
  unsigned long port = 0;
  unsigned long interfaces = 0;
  if (argc != 3 || !parseNumber(argv[1], 65535, port) || port == 0 ||
      !parseNumber(argv[2], 0x3fffffffUL, interfaces)) {
    std::fprintf(stderr, "usage: %s PORT INTERFACES\n", argv[0]);
    return 2;
  }
  const std::string listen = "udp:127.0.0.1:" + std::to_string(port);
  configureLibrary(listen);

  if (init_agent(name) != 0) {
    std::fprintf(stderr, "%s: init_agent failed\n", name);
    return 1;
  }
  init_vacm_conf();
  registerTable(static_cast<std::uint32_t>(interfaces));
  static char community[] = "rocommunity public 127.0.0.1";
  netsnmp_config_remember(community);
  init_snmp(name);
  if (init_master_agent() != 0) {
    std::fprintf(stderr, "%s: cannot listen on %s\n", name, listen.c_str());
    return 1;
  }

  std::signal(SIGTERM, requestStop);
  std::signal(SIGINT, requestStop);
  std::fprintf(stderr, "%s ready: %lu rows on %s\n", name, interfaces * classes, listen.c_str());
  while (!stopRequested) agent_check_and_process(1);

  snmp_shutdown(name);
  return 0;
}

}  // namespace WalkBench
