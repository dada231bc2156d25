// tests/host/e2e/Daemon.cpp — starting, watching and stopping the daemon under test.
#include "Daemon.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <sstream>
#include <system_error>
#include <thread>

#include "Process.h"

#ifndef STORMCONTROL_AGENT
#error "STORMCONTROL_AGENT must name the daemon's executable"
#endif

namespace E2e {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds pollInterval{10};
constexpr int portAttempts = 5;

std::vector<std::string> linesContaining(const std::string& text, const std::string& needle) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.find(needle) != std::string::npos) lines.push_back(line);
  }
  return lines;
}

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

std::string sanitizerReports(const std::string& log) {
  std::string reports;
  for (const char* marker : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:"}) {
    for (const auto& line : linesContaining(log, marker)) reports += line + "\n";
  }
  return reports;
}

Daemon::~Daemon() { kill(); }

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
  writeFileInPlace(logPath_, "");  // each run's log on its own
  pid_ = spawnBackground(argv, environment(), dir_.path().string(), logPath_);
}

Daemon::Outcome Daemon::launch(const std::vector<std::string>& args, const std::string& ready) {
  spawn(args);
  const auto deadline = Clock::now() + startDeadline;
  while (Clock::now() < deadline) {
    if (logCount(ready) > 0) return Outcome::ready;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      const bool portNamed = port_ && log().find(":" + std::to_string(port_)) != std::string::npos;
      return portNamed ? Outcome::portTaken : Outcome::exited;
    }
    std::this_thread::sleep_for(pollInterval);
  }
  return Outcome::exited;
}

bool Daemon::startWith(const ArgsForPort& argsFor) {
  for (int attempt = 0; attempt < portAttempts; ++attempt) {
    port_ = freeUdpPort();
    switch (launch(argsFor(port_), "listening on")) {
      case Outcome::ready:
        return true;
      case Outcome::exited:
        return false;
      case Outcome::portTaken:
        continue;
    }
  }
  return false;
}

bool Daemon::start(const std::vector<std::string>& args) {
  return startWith([&](int port) {
    std::vector<std::string> all{"--listen", "udp:127.0.0.1:" + std::to_string(port)};
    all.insert(all.end(), args.begin(), args.end());
    return all;
  });
}

bool Daemon::startSubagent(const std::vector<std::string>& args) {
  port_ = 0;
  return launch(args, "table ready: ") == Outcome::ready;
}

std::optional<int> Daemon::runToExit(const std::vector<std::string>& args, Deadline deadline) {
  spawn(args);
  return waitExit(deadline);
}

std::string Daemon::log() const { return readFile(logPath_); }

std::vector<std::string> Daemon::logLines(const std::string& text) const {
  return linesContaining(log(), text);
}

int Daemon::logCount(const std::string& text) const {
  return static_cast<int>(logLines(text).size());
}

bool Daemon::waitForLog(const std::string& text, int count, Deadline deadline) {
  const auto end = Clock::now() + deadline;
  while (logCount(text) < count) {
    if (Clock::now() >= end) return false;
    std::this_thread::sleep_for(pollInterval);
  }
  return true;
}

void Daemon::signal(int sig) const {
  if (pid_ > 0) ::kill(pid_, sig);
}

std::optional<int> Daemon::waitExit(Deadline deadline) {
  const std::optional<int> status = waitChild(pid_, deadline);
  kill();  // still running at the deadline
  return status;
}

std::optional<int> Daemon::stop() {
  signal(SIGTERM);
  return waitExit();
}

void Daemon::kill() { killChild(pid_); }

}  // namespace E2e
