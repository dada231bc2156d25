// tests/host/e2e/Process.h — runs a program to its end with a deadline, capturing its output,
/// or in the background with its output in a log file.
///
/// The child gets the parent's environment plus `env` ("NAME=value" entries, which win). A
/// child still running at the deadline is killed, so a hung client never hangs a test; a
/// background child dies with the test process.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace E2e {

struct ProcessResult {
  int exitStatus = -1;  // the exit status, or -1 when the child ended by a signal
  int signal = 0;       // the signal that ended the child, or 0
  bool timedOut = false;
  std::string out;
  std::string err;

  bool ok() const { return exitStatus == 0 && !timedOut; }
  /// The command line and everything it printed, for failure messages.
  std::string describe() const;
  std::string command;
};

ProcessResult runProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                         std::chrono::milliseconds timeout);

/// Starts `argv` (argv[0] a path) in `workDir` with its standard output and error written to
/// `logPath` (appended to), and returns its pid. The kernel kills it when the test process dies
/// (a ctest timeout, say) and no destructor runs; so spawn from the test's main thread, the
/// thread the parent-death signal follows.
pid_t spawnBackground(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                      const std::string& workDir, const std::string& logPath);
/// Waits up to `deadline` for the child `pid` to end; its exit status, or nullopt when it died
/// by a signal or is still running at the deadline (`pid` is then still set).
std::optional<int> waitChild(pid_t& pid, std::chrono::milliseconds deadline);
/// Kills the child `pid`, if there is one, with SIGKILL and reaps it.
void killChild(pid_t& pid);

/// `environ` with `overrides` applied; entries are "NAME=value".
std::vector<std::string> environmentWith(const std::vector<std::string>& overrides);

/// argv/envp arrays pointing into `strings`, null-terminated, for execve.
std::vector<char*> cStrings(std::vector<std::string>& strings);

}  // namespace E2e
