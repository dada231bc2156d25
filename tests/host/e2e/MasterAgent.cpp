// tests/host/e2e/MasterAgent.cpp — starting and stopping snmpd as an AgentX master.
#include "MasterAgent.h"

#include <signal.h>

#include <filesystem>
#include <thread>

#include "Daemon.h"
#include "Process.h"

namespace E2e {
namespace {

constexpr const char* snmpd = "/usr/sbin/snmpd";
/// What snmpd logs once its listeners and AgentX socket are open.
constexpr const char* servingLine = "NET-SNMP version";
constexpr int portAttempts = 5;

}  // namespace

MasterAgent::~MasterAgent() { kill(); }

std::string MasterAgent::agent() const { return "udp:127.0.0.1:" + std::to_string(port_); }

std::vector<std::string> MasterAgent::environment() const {
  const std::string persistent = dir_.file("persist");
  std::filesystem::create_directories(persistent);
  return {"MIBS=", "MIBDIRS=" + dir_.file("no-mibs"), "SNMPCONFPATH=" + dir_.file("snmpconf"),
          "SNMP_PERSISTENT_DIR=" + persistent};
}

std::string MasterAgent::log() const { return readFile(logPath_); }

bool MasterAgent::start() {
  for (int attempt = 0; attempt < portAttempts; ++attempt) {
    port_ = freeUdpPort();
    switch (launch()) {
      case Outcome::serving:
        return true;
      case Outcome::exited:
        return false;
      case Outcome::portTaken:
        continue;
    }
  }
  return false;
}

MasterAgent::Outcome MasterAgent::launch() {
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
  const std::size_t logged = log().size();
  const std::string address = agent();
  pid_ = spawnBackground({snmpd, "-f", "-Le", "-C", "-c", config, address}, environment(),
                         dir_.path().string(), logPath_);
  const auto deadline = std::chrono::steady_clock::now() + startDeadline;
  while (std::chrono::steady_clock::now() < deadline) {
    const std::string text = log().substr(logged);
    if (text.find(servingLine) != std::string::npos) return Outcome::serving;
    waitChild(pid_, std::chrono::milliseconds(0));  // reaps it once it has ended
    if (pid_ <= 0) {
      return text.find(address) != std::string::npos ? Outcome::portTaken : Outcome::exited;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill();
  return Outcome::exited;
}

bool MasterAgent::stop() {
  if (pid_ > 0) ::kill(pid_, SIGTERM);
  const std::optional<int> status = waitChild(pid_, eventDeadline);
  kill();  // still running at the deadline
  return status == 0;
}

void MasterAgent::kill() { killChild(pid_); }

}  // namespace E2e
