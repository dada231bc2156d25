// tests/host/e2e/Server.cpp — spawning, watching and stopping a program under test.
#include "Server.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>
#include <system_error>
#include <thread>

#include "Process.h"
#include "TempDir.h"

namespace E2e {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds pollInterval{10};

std::optional<int> exitStatusOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return std::nullopt;
}

}  // namespace

std::vector<std::string> linesContaining(const std::string& text, const std::string& needle) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.find(needle) != std::string::npos) lines.push_back(line);
  }
  return lines;
}

void Server::spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                   const std::string& workDir) {
  kill();
  std::vector<std::string> args = argv;
  std::vector<std::string> vars = env;
  std::vector<char*> argp = cStrings(args);
  std::vector<char*> envp = cStrings(vars);
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
    if (::chdir(workDir.c_str()) != 0) ::_exit(126);
    ::execve(argp[0], argp.data(), envp.data());
    ::_exit(127);
  }
  ::close(logFd);
  pid_ = pid;
  exitStatus_.reset();
}

std::string Server::log() const { return readFile(logPath_); }

std::vector<std::string> Server::logLines(const std::string& text) const {
  return linesContaining(log(), text);
}

int Server::logCount(const std::string& text) const {
  return static_cast<int>(logLines(text).size());
}

bool Server::waitForLog(const std::string& text, int count, Deadline deadline) {
  const auto end = Clock::now() + deadline;
  while (logCount(text) < count) {
    if (Clock::now() >= end || ended()) return logCount(text) >= count;
    std::this_thread::sleep_for(pollInterval);
  }
  return true;
}

void Server::signal(int sig) const {
  if (pid_ > 0) ::kill(pid_, sig);
}

bool Server::ended() {
  if (pid_ <= 0) return true;
  int raw = 0;
  if (::waitpid(pid_, &raw, WNOHANG) != pid_) return false;
  pid_ = -1;
  exitStatus_ = exitStatusOf(raw);
  return true;
}

std::optional<int> Server::waitExit(Deadline deadline) {
  const auto end = Clock::now() + deadline;
  while (!ended()) {
    if (Clock::now() >= end) {
      kill();
      return std::nullopt;
    }
    std::this_thread::sleep_for(pollInterval);
  }
  return exitStatus_;
}

std::optional<int> Server::stop() {
  signal(SIGTERM);
  return waitExit();
}

void Server::kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}

}  // namespace E2e
