// tests/host/e2e/Daemon.cpp — starting, watching and stopping the daemon under test.
#include "Daemon.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
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

std::optional<int> exitStatusOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return std::nullopt;
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
  std::vector<std::string> env = environmentWith(environment());
  std::vector<char*> argp = cStrings(argv);
  std::vector<char*> envp = cStrings(env);
  const int logFd = ::open(logPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (logFd < 0) throw std::system_error(errno, std::generic_category(), "open " + logPath_);
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) throw std::system_error(errno, std::generic_category(), "fork");
  if (pid == 0) {
    // Dies with the test process even when that is killed (a ctest timeout) and no
    // destructor runs.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(125);
    ::dup2(logFd, STDERR_FILENO);
    ::dup2(logFd, STDOUT_FILENO);
    const int devNull = ::open("/dev/null", O_RDONLY);
    ::dup2(devNull, STDIN_FILENO);
    if (::chdir(dir_.path().c_str()) != 0) ::_exit(126);
    ::execve(argp[0], argp.data(), envp.data());
    ::_exit(127);
  }
  ::close(logFd);
  pid_ = pid;
}

Daemon::Outcome Daemon::launch(const std::vector<std::string>& args) {
  spawn(args);
  const auto deadline = Clock::now() + startDeadline;
  while (Clock::now() < deadline) {
    if (logCount("listening on") > 0) return Outcome::listening;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      const bool portNamed = log().find(":" + std::to_string(port_)) != std::string::npos;
      return portNamed ? Outcome::portTaken : Outcome::exited;
    }
    std::this_thread::sleep_for(pollInterval);
  }
  return Outcome::exited;
}

bool Daemon::startWith(const ArgsForPort& argsFor) {
  for (int attempt = 0; attempt < portAttempts; ++attempt) {
    port_ = freeUdpPort();
    switch (launch(argsFor(port_))) {
      case Outcome::listening:
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
  const auto end = Clock::now() + deadline;
  while (pid_ > 0) {
    int status = 0;
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      pid_ = -1;
      return exitStatusOf(status);
    }
    if (Clock::now() >= end) {
      kill();
      return std::nullopt;
    }
    std::this_thread::sleep_for(pollInterval);
  }
  return std::nullopt;
}

std::optional<int> Daemon::stop() {
  signal(SIGTERM);
  return waitExit();
}

void Daemon::kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}

}  // namespace E2e
