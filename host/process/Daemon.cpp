// host/process/Daemon.cpp — the daemon's life, from the command line to shutdown.
///
/// Start-up, in order: options; logging and traces; signals blocked (they are read in the
/// loop); the -C file's check; the pid file; net-snmp's agent library with our own persistent
/// directory and without the system's configuration files (a master agent with the engine
/// scalars, the system group and sysORTable); the plug-in and the state database; the state source
/// (a refused state file ends the process with status 2 before anything listens); the plug-in's
/// agent; the SNMP contexts; IF-MIB's interface names (unless --if-mib off); the listeners (a
/// subagent, --agentx, has none: it connected to its master during the library's initialisation, or
/// keeps trying). Then the loop runs until SIGTERM or SIGINT (systemd hears READY=1 once the table
/// is ready, see ServiceNotifier.h), and shutdown takes everything down in the reverse order. Exit
/// status: 0 after a clean shutdown, 2 for a bad command line or state file, 1 for any other
/// start-up failure.
// net-snmp wants its configuration header first.
#include <net-snmp/net-snmp-config.h>

#include <net-snmp/net-snmp-includes.h>
#include <dlfcn.h>
#include <link.h>
#include <net-snmp/agent/agent_sysORTable.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ConfigFileCheck.h"
#include "Daemon.h"
#include "EventLoop.h"
#include "Options.h"
#include "PersistentDir.h"
#include "PluginHost.h"
#include "Pondo/DebugHandler.h"
#include "Pondo/Trace.h"
#include "ServiceNotifier.h"
#include "Subagent.h"
#include "Velo/TaskScheduler.h"
#include "host/ifmib/InterfaceNames.h"
#include "host/notifications/DropsNotifier.h"
#include "host/requests/Listeners.h"
#include "host/switchstate/Simulator.h"
#include "host/switchstate/StateSource.h"

// In net-snmp's agent library, not in its installed headers: registers the community, user and
// VACM configuration tokens (rocommunity, rouser, com2sec, view, access, ...) and the access
// check every request goes through.
extern "C" void init_vacm_conf(void);
// In net-snmp's MIB module library, not in its installed headers: registers the snmpEngine
// scalars (snmpEngineID, snmpEngineBoots, snmpEngineTime, snmpEngineMaxMessageSize).
extern "C" void init_snmpEngine(void);
// In net-snmp's MIB module library too: the system group (with its configuration tokens sysdescr,
// sysobjectid, syscontact, sysname, syslocation, sysservices) and sysORTable.
extern "C" void init_system_mib(void);
extern "C" void init_sysORTable(void);
// In net-snmp's library, not in its installed headers: hands one configuration line to its
// token's handler at once, where netsnmp_config() before init_snmp() keeps it until the files
// have been read (and so overrides them).
extern "C" int snmp_config_when(char* line, int when);

namespace {

constexpr const char* appName = "stormcontrol-agent";
constexpr const char* version = STORMCONTROL_AGENT_VERSION;
constexpr const char* defaultListen = "udp:127.0.0.1:1161";
constexpr const char* defaultCommunity = "public";
constexpr const char* pluginFile = "libStormControlSnmp.so";
// The platform's bottom library, which the daemon links: the plug-in lives beside it.
constexpr const char* platformLibrary = "libPondo.so";

constexpr int exitStartFailure = 1;
constexpr int exitUsage = 2;

/// Sends the platform's traces through net-snmp's log, so -L applies to them too.
class SnmpLogTraceSink final : public Pondo::TraceSink {
 public:
  void record(const Pondo::TraceRecord& r) override {
    snmp_log(LOG_DEBUG, "%s/%u %s%s%s: %s\n", r.facility.c_str(), unsigned(r.level),
             r.component.c_str(), r.component.empty() ? "" : "::", r.function, r.text.c_str());
  }
};

int startFailure(const std::string& message) {
  snmp_log(LOG_ERR, "%s\n", message.c_str());
  return exitStartFailure;
}

/// The plug-in in the directory the dynamic loader took the platform's libraries from, which the
/// executable's RUNPATH names: the build's library directory, or the package's private one once
/// installed. (Handing dlopen the bare name would not do: the sanitizers' dlopen interceptor
/// searches its own library's RUNPATH, not the executable's.)
std::string defaultPluginPath() {
  void* platform = dlopen(platformLibrary, RTLD_LAZY | RTLD_NOLOAD);
  if (!platform) return pluginFile;
  std::string path = pluginFile;
  link_map* map = nullptr;
  if (dlinfo(platform, RTLD_DI_LINKMAP, &map) == 0) {
    path = (std::filesystem::path(map->l_name).parent_path() / pluginFile).string();
  }
  dlclose(platform);
  return path;
}

void applyTraceLevels(const std::string& spec) {
  std::vector<Host::TraceLevel> levels;
  std::string error;
  if (!Host::parseTraceSpec(spec, levels, error)) return;  // checked while parsing options
  for (const Host::TraceLevel& level : levels) {
    Pondo::Platform::getDebugHandler(Pondo::String(level.facility), false)->levelMaskIs(level.mask);
  }
}

/// Users come from -C alone: net-snmp would save createUser's users in the persistent directory
/// and read them back, so a user removed from the file would still get in.
void keepUsersOutOfPersistentState() {
  for (usmUser* user = usm_get_userList(); user; user = user->next) {
    user->userStorageType = ST_VOLATILE;
  }
}

/// The system group and sysORTable, net-snmp's own, of a master agent. Our defaults go to the
/// system group's configuration handlers before the -C file is read, so its sysdescr,
/// sysobjectid and sysservices lines win: sysDescr names the daemon, its version and platform;
/// sysObjectID is our agent's; sysServices says a bridge (layer 2). sysORTable lists our MIB
/// module.
void initSystemGroup() {
  init_system_mib();
  init_sysORTable();
  utsname host{};
  uname(&host);
  std::string objectId = "sysobjectid ";
  for (const oid arc : StormControlSnmp::Contract::agentObjectIdOid) {
    objectId += "." + std::to_string(arc);
  }
  for (std::string line : {std::string("sysdescr ") + appName + " " + version + " on " +
                               host.sysname + " " + host.release + " " + host.machine,
                           objectId, std::string("sysservices 2")}) {
    snmp_config_when(line.data(), NORMAL_CONFIG);
  }
  std::array mib = StormControlSnmp::Contract::mibOid;
  register_sysORTable(mib.data(), mib.size(),
                      "The MIB module for storm control of the switch's interfaces");
}

/// Sets the library up as a master agent, or as `subagent` when there is one, that reads only
/// the configuration it is given.
void initAgentLibrary(const Host::Options& options, const std::string& persistentDir,
                      Host::Subagent* subagent) {
  if (subagent) {
    subagent->beforeInitAgent();
  } else {
    netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_ROLE, 0);  // master
  }
  // Alarms run from the loop (run_alarms), never from SIGALRM.
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_ALARM_DONT_USE_SIG, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_MASTER, 0);
  netsnmp_ds_set_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_PERSISTENT_DIR,
                        persistentDir.c_str());
  // No configuration search path: the system's snmpd.conf and snmp.conf are not ours, and
  // net-snmp reads the persistent directory after the path anyway (a path naming it too has it
  // read twice, the second reading of the saved engine ID fails and a new ID is made).
  // SNMPCONFPATH would replace the path and keep the persistent directory from being read.
  unsetenv("SNMPCONFPATH");
  netsnmp_ds_set_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_CONFIGURATION_DIR, "");
  netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_DONT_LOG_TCPWRAPPERS_CONNECTS,
                         1);
  // No SMUX peer port (TCP 199) and no MIB files: the agent serves numeric OIDs only.
  char noSmux[] = "-smux";
  add_to_init_list(noSmux);
  setenv("MIBS", "", 1);
  if (!options.configFile.empty()) {
    netsnmp_ds_set_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_OPTIONALCONFIG,
                          options.configFile.c_str());
  }
  init_agent(appName);
  if (subagent) subagent->afterInitAgent();
  init_vacm_conf();
  if (!subagent) {  // a master agent serves its own
    init_snmpEngine();
    initSystemGroup();
  }
  // Without -C, and for an explicit --community, a read-only community from the loopback
  // addresses, 127.0.0.1 and ::1 (a --listen udp6:[::1]:PORT), for SNMPv1 and v2c, as snmpd's
  // rocommunity and rocommunity6 lines give it.
  std::string community = options.community;
  if (community.empty() && options.configFile.empty()) community = defaultCommunity;
  if (!community.empty()) {
    for (std::string line :
         {"rocommunity " + community + " 127.0.0.1", "rocommunity6 " + community + " ::1"}) {
      netsnmp_config_remember(line.data());  // copies the line
    }
  }
  init_snmp(appName);
  keepUsersOutOfPersistentState();
  // Saved at once, as snmpd does, so that this start counts in engineBoots even when the process
  // is killed.
  snmp_store(appName);
}

/// The listeners: -C's agentaddress (or the default when it names none, or when there is no
/// -C and no --listen), then every --listen.
std::vector<std::string> listenSpecs(const Host::Options& options) {
  std::vector<std::string> specs;
  const char* configured = netsnmp_ds_get_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_PORTS);
  if (configured && *configured && !options.configFile.empty()) {
    std::string rest = configured;
    for (std::size_t comma; (comma = rest.find(',')) != std::string::npos;
         rest.erase(0, comma + 1)) {
      if (comma) specs.push_back(rest.substr(0, comma));
    }
    if (!rest.empty()) specs.push_back(rest);
  }
  if (specs.empty() && options.listen.empty()) specs.emplace_back(defaultListen);
  specs.insert(specs.end(), options.listen.begin(), options.listen.end());
  return specs;
}

/// Opens the listeners; false, with `error` set, when one cannot be opened.
bool listen(Host::Listeners& listeners, const Host::Options& options, std::string& error) {
  const std::vector<std::string> specs = listenSpecs(options);
  // The agent library's master set-up without its own listeners: ours carry the guards.
  netsnmp_ds_set_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_PORTS, "none");
  if (init_master_agent() != 0) {
    error = "cannot set up the master agent";
    return false;
  }
  if (!listeners.open(specs, error)) return false;
  for (const std::string& spec : specs) snmp_log(LOG_INFO, "listening on %s\n", spec.c_str());
  return true;
}

/// The --pidfile: written at start, before anything listens, so that a path that cannot be
/// written ends the start-up before managers see the daemon; removed whichever way run() ends.
class PidFile {
 public:
  PidFile() = default;
  PidFile(const PidFile&) = delete;
  PidFile& operator=(const PidFile&) = delete;
  ~PidFile() {
    if (!path_.empty()) unlink(path_.c_str());
  }

  /// Writes this process's id to `path`; false when it cannot.
  bool write(const std::string& path) {
    std::ofstream out(path, std::ios::trunc);
    out << getpid() << '\n';
    if (!out.flush()) return false;
    path_ = path;
    return true;
  }

 private:
  std::string path_;  // once written
};

std::unique_ptr<Host::StateSource> stateSource(const Host::Options& options,
                                               const Host::SwitchInputs& inputs) {
  if (!options.stateFile.empty()) return Host::stateFileSource(inputs, options.stateFile);
  Host::SimulatorOptions simulator;
  simulator.interfaces = options.simInterfaces;
  simulator.slices = options.simSlices;
  simulator.intervalMs = options.simIntervalMs;
  simulator.flapMs = options.simFlapMs;
  return Host::simulatorSource(inputs, simulator);
}

int run(const Host::Options& options) {
  std::string error;
  if (!options.configFile.empty() && !Host::checkConfigFile(options.configFile, error)) {
    std::fprintf(stderr, "%s: %s\n", appName, error.c_str());
    return exitUsage;
  }
  PidFile pidFile;
  if (!options.pidFile.empty() && !pidFile.write(options.pidFile)) {
    return startFailure("cannot write " + options.pidFile);
  }
  const std::string persistentDir = Host::usablePersistentDir(options.persistentDir, error);
  if (persistentDir.empty()) return startFailure(error);
  std::optional<Host::Subagent> subagent;
  if (!options.agentx.empty()) subagent.emplace(options.agentx, options.agentxPingS);
  initAgentLibrary(options, persistentDir, subagent ? &*subagent : nullptr);

  const Pondo::Ptr<Velo::TaskScheduler> scheduler =
      Velo::TaskSchedulerRoot::findOrCreateScheduler();
  Host::EventLoop loop(scheduler);
  Host::ServiceNotifier service;
  Host::PluginHost host;
  host.readyHandlerIs([&service](unsigned rows) { service.tableReady(rows); });
  if (!host.load(options.plugin.empty() ? defaultPluginPath() : options.plugin, error)) {
    return startFailure(error);
  }
  if (!host.buildDatabase(scheduler, error)) return startFailure(error);

  std::unique_ptr<Host::StateSource> source = stateSource(options, host.inputs());
  if (!source->start(error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return exitUsage;
  }
  host.agentIs();
  host.initContexts(options.contexts);
  std::optional<Host::InterfaceNames> interfaceNames;
  if (options.ifMib.value_or(!subagent)) interfaceNames.emplace(host.inputs().ifMib);
  std::optional<Host::DropsNotifier> notifier;
  notifier.emplace(host.mib(), host.changedRow(),
                   Host::NotifySettings{std::chrono::seconds(options.notifyStillS),
                                        std::chrono::seconds(options.notifyHolddownS)});

  std::optional<Host::Listeners> listeners;
  if (subagent) {
    subagent->afterInitSnmp();
  } else if (!listen(listeners.emplace(), options, error)) {
    return startFailure(error);
  }
  service.serving();

  const bool signalsOk = loop.signalHandlerIs([&](int signal) {
    switch (signal) {
      case SIGHUP:
        source->reload();
        return;
      case SIGUSR1:
        host.logCounters();
        notifier->logCounters();
        if (listeners) listeners->logCounters();
        return;
      case SIGUSR2:
        snmp_log(LOG_INFO, "restarting agent\n");
        host.restartAgent();
        return;
      default:
        snmp_log(LOG_INFO, "shutting down\n");
        service.stopping();
        loop.stop();
    }
  });
  if (!signalsOk) return startFailure(std::string("signalfd: ") + std::strerror(errno));
  loop.run();

  host.unregisterContexts();
  interfaceNames.reset();
  notifier.reset();
  source.reset();
  host.shutdown();
  listeners.reset();
  snmp_shutdown(appName);
  shutdown_master_agent();
  shutdown_agent();
  return 0;
}

}  // namespace

int Host::runDaemon(int argc, char** argv) {
  const Host::ParsedOptions parsed = Host::parseOptions(argc, argv);
  switch (parsed.action) {
    case Host::ParsedOptions::Action::fail:
      std::fprintf(stderr, "%s: %s\n", appName, parsed.message.c_str());
      return exitUsage;
    case Host::ParsedOptions::Action::help:
      std::fputs(Host::usage(appName).c_str(), stdout);
      return 0;
    case Host::ParsedOptions::Action::version:
      std::printf("%s %s\n", appName, version);
      return 0;
    case Host::ParsedOptions::Action::run:
      break;
  }
  if (!parsed.options.logConfigured) snmp_enable_stderrlog();
  SnmpLogTraceSink traceSink;
  Pondo::traceSinkIs(&traceSink);
  if (!parsed.options.trace.empty()) applyTraceLevels(parsed.options.trace);
  if (!parsed.options.debugTokens.empty()) {
    debug_register_tokens(parsed.options.debugTokens.c_str());
    snmp_set_do_debugging(1);
  }
  signal(SIGPIPE, SIG_IGN);
  if (!Host::EventLoop::blockSignals({SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2})) {
    std::perror("sigprocmask");
    return exitStartFailure;
  }
  const int status = run(parsed.options);
  Pondo::traceSinkIs(nullptr);
  return status;
}
