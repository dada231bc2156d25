// tests/host/e2e/Process.cpp — fork/exec with captured output and a deadline.
#include "Process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sys/prctl.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>
#include <thread>

extern char** environ;

namespace E2e {

namespace {

using Clock = std::chrono::steady_clock;

struct Pipe {
  int read = -1;
  int write = -1;
  Pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category());
    read = fds[0];
    write = fds[1];
  }
  ~Pipe() {
    if (read >= 0) ::close(read);
    if (write >= 0) ::close(write);
  }
  void closeWrite() {
    ::close(write);
    write = -1;
  }
};

std::string nameOf(const std::string& entry) { return entry.substr(0, entry.find('=')); }

/// Reads both pipes until both are closed or the deadline passes; false on the deadline.
bool drain(Pipe& out, Pipe& err, std::string& outText, std::string& errText,
           Clock::time_point deadline) {
  pollfd fds[2] = {{out.read, POLLIN, 0}, {err.read, POLLIN, 0}};
  std::string* texts[2] = {&outText, &errText};
  int open = 2;
  while (open > 0) {
    using std::chrono::milliseconds;
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    const int ready = ::poll(fds, 2, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[65536];
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        texts[i]->append(buffer, static_cast<std::size_t>(n));
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      fds[i].fd = -1;
      --open;
    }
  }
  return true;
}

}  // namespace

std::vector<std::string> environmentWith(const std::vector<std::string>& overrides) {
  std::vector<std::string> env;
  for (char** entry = environ; *entry; ++entry) {
    const std::string text = *entry;
    bool overridden = false;
    for (const auto& o : overrides) overridden = overridden || nameOf(o) == nameOf(text);
    if (!overridden) env.push_back(text);
  }
  env.insert(env.end(), overrides.begin(), overrides.end());
  return env;
}

std::vector<char*> cStrings(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (auto& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

std::string ProcessResult::describe() const {
  std::string text = "$ " + command + "\n";
  if (timedOut) text += "(killed at the deadline)\n";
  if (signal != 0) text += "(ended by signal " + std::to_string(signal) + ")\n";
  if (exitStatus >= 0) text += "(exit status " + std::to_string(exitStatus) + ")\n";
  text += "--- stdout ---\n" + out + "--- stderr ---\n" + err;
  return text;
}

pid_t spawnBackground(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                      const std::string& workDir, const std::string& logPath) {
  std::vector<std::string> args = argv;
  std::vector<std::string> envStrings = environmentWith(env);
  std::vector<char*> argp = cStrings(args);
  std::vector<char*> envp = cStrings(envStrings);
  const int logFd = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (logFd < 0) throw std::system_error(errno, std::generic_category(), "open " + logPath);
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) throw std::system_error(errno, std::generic_category(), "fork");
  if (pid == 0) {
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
  return pid;
}

std::optional<int> waitChild(pid_t& pid, std::chrono::milliseconds deadline) {
  const auto end = Clock::now() + deadline;
  while (pid > 0) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      pid = -1;
      if (WIFEXITED(status)) return WEXITSTATUS(status);
      return std::nullopt;
    }
    if (Clock::now() >= end) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return std::nullopt;
}

void killChild(pid_t& pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGKILL);
  while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
  pid = -1;
}

ProcessResult runProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                         std::chrono::milliseconds timeout) {
  ProcessResult result;
  for (const auto& a : argv) result.command += (result.command.empty() ? "" : " ") + a;
  std::vector<std::string> args = argv;
  std::vector<std::string> envStrings = environmentWith(env);
  std::vector<char*> argp = cStrings(args);
  std::vector<char*> envp = cStrings(envStrings);

  Pipe out;
  Pipe err;
  const pid_t pid = ::fork();
  if (pid < 0) throw std::system_error(errno, std::generic_category(), "fork");
  if (pid == 0) {
    ::dup2(out.write, STDOUT_FILENO);
    ::dup2(err.write, STDERR_FILENO);
    const int devNull = ::open("/dev/null", O_RDONLY);
    ::dup2(devNull, STDIN_FILENO);
    ::execvpe(argp[0], argp.data(), envp.data());
    ::_exit(127);
  }
  out.closeWrite();
  err.closeWrite();
  const auto deadline = Clock::now() + timeout;
  if (!drain(out, err, result.out, result.err, deadline)) {
    result.timedOut = true;
    ::kill(pid, SIGKILL);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

}  // namespace E2e
