// tests/host/e2e/Daemon.cpp — starting, watching and stopping the daemon under test.
#include "Daemon.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "Process.h"

#ifndef STORMCONTROL_AGENT
#error "STORMCONTROL_AGENT must name the daemon's executable"
#endif

namespace E2e {

namespace {

constexpr int portAttempts = 5;

}  // namespace

int freeUdpPort() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), "socket");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(fd);
    throw std::system_error(errno, std::generic_category(), "bind 127.0.0.1:0");
  }
  ::close(fd);
  return ntohs(address.sin_port);
}

bool launchOnFreePort(int& port, const std::function<LaunchOutcome()>& launch) {
  for (int attempt = 0; attempt < portAttempts; ++attempt) {
    port = freeUdpPort();
    const LaunchOutcome outcome = launch();
    if (outcome != LaunchOutcome::portTaken) return outcome == LaunchOutcome::ready;
  }
  return false;
}

std::string sanitizerReports(const std::string& log) {
  std::string reports;
  for (const char* marker : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:"}) {
    for (const auto& line : linesContaining(log, marker)) reports += line + "\n";
  }
  return reports;
}

Daemon::~Daemon() = default;

std::vector<std::string> Daemon::environment() const {
  const std::string persistent = dir_.file("persist");
  std::filesystem::create_directories(persistent);
  return {"MIBS=", "MIBDIRS=" + dir_.file("no-mibs"), "SNMPCONFPATH=" + dir_.file("snmpconf"),
          "SNMP_PERSISTENT_DIR=" + persistent};
}

std::string Daemon::agent() const { return "udp:127.0.0.1:" + std::to_string(port_); }

void Daemon::spawn(const std::vector<std::string>& args) {
  std::vector<std::string> argv{STORMCONTROL_AGENT};
  argv.insert(argv.end(), args.begin(), args.end());
  server_.spawn(argv, environmentWith(environment()), dir_.path());
}

LaunchOutcome Daemon::launch(const std::vector<std::string>& args, const std::string& ready) {
  spawn(args);
  if (server_.waitForLog(ready, 1, startDeadline)) return LaunchOutcome::ready;
  if (!server_.ended()) return LaunchOutcome::exited;
  const bool portNamed = port_ && log().find(":" + std::to_string(port_)) != std::string::npos;
  return portNamed ? LaunchOutcome::portTaken : LaunchOutcome::exited;
}

bool Daemon::startWith(const ArgsForPort& argsFor) {
  return launchOnFreePort(port_, [&] { return launch(argsFor(port_), "listening on"); });
}

bool Daemon::startSubagent(const std::vector<std::string>& args) {
  port_ = 0;
  return launch(args, "table ready: ") == LaunchOutcome::ready;
}

bool Daemon::start(const std::vector<std::string>& args) {
  return startWith([&](int port) {
    std::vector<std::string> all{"--listen", "udp:127.0.0.1:" + std::to_string(port)};
    all.insert(all.end(), args.begin(), args.end());
    return all;
  });
}

std::optional<int> Daemon::runToExit(const std::vector<std::string>& args, Deadline deadline) {
  spawn(args);
  return waitExit(deadline);
}

}  // namespace E2e
