// tests/host/e2e/Process.h — runs a program to its end with a deadline, capturing its output.
///
/// The child gets the parent's environment plus `env` ("NAME=value" entries, which win). A
/// child still running at the deadline is killed, so a hung client never hangs a test.
#pragma once

#include <chrono>
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

/// `environ` with `overrides` applied; entries are "NAME=value".
std::vector<std::string> environmentWith(const std::vector<std::string>& overrides);

/// argv/envp arrays pointing into `strings`, null-terminated, for execve.
std::vector<char*> cStrings(std::vector<std::string>& strings);

}  // namespace E2e
