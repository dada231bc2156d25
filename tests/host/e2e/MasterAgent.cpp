// tests/host/e2e/MasterAgent.cpp — starting and stopping snmpd as an AgentX master.
#include "MasterAgent.h"

#include <filesystem>

#include "Daemon.h"
#include "Process.h"

namespace E2e {
namespace {

constexpr const char* snmpd = "/usr/sbin/snmpd";
/// What snmpd logs once its listeners and AgentX socket are open.
constexpr const char* servingLine = "NET-SNMP version";

}  // namespace

std::string MasterAgent::agent() const { return "udp:127.0.0.1:" + std::to_string(port_); }

std::vector<std::string> MasterAgent::environment() const {
  const std::string persistent = dir_.file("persist");
  std::filesystem::create_directories(persistent);
  return {"MIBS=", "MIBDIRS=" + dir_.file("no-mibs"), "SNMPCONFPATH=" + dir_.file("snmpconf"),
          "SNMP_PERSISTENT_DIR=" + persistent};
}

bool MasterAgent::start() {
  return launchOnFreePort(port_, [this] { return launch(); });
}

LaunchOutcome MasterAgent::launch() {
  // The master answers a subagent's silence after agentXTimeout seconds with genErr; no
  // retries, so one second is all a subagent gets.
  const std::string config = dir_.file("snmpd.conf");
  writeFileAtomically(config,
                      "master agentx\n"
                      "agentXSocket " +
                          socket() +
                          "\n"
                          "agentXTimeout 1\n"
                          "agentXRetries 0\n"
                          "rocommunity public 127.0.0.1\n"
                          "dontLogTCPWrappersConnects yes\n");
  const std::string address = agent();
  server_.spawn({snmpd, "-f", "-Le", "-C", "-c", config, address}, environmentWith(environment()),
                dir_.path());
  if (server_.waitForLog(servingLine, 1, startDeadline)) return LaunchOutcome::ready;
  if (!server_.ended()) {
    server_.kill();
    return LaunchOutcome::exited;
  }
  return log().find(address) != std::string::npos ? LaunchOutcome::portTaken
                                                  : LaunchOutcome::exited;
}

bool MasterAgent::stop() { return server_.stop() == 0; }

}  // namespace E2e
