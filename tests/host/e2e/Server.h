// tests/host/e2e/Server.h — a long-running program under test: the daemon, or a peer such as
// snmptrapd or snmpd.
///
/// The program runs in a working directory of the test's, with its standard output and error
/// captured in a log file that tests wait on. Whatever happens to the test, the destructor
/// kills the process, and the kernel kills it if the test process dies first. Spawn servers
/// from the test's main thread: the kernel's parent-death signal follows the thread that forked.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace E2e {

using Deadline = std::chrono::milliseconds;

/// Generous, because the sanitizer build runs several times slower on a shared machine.
inline constexpr Deadline startDeadline{60'000};
inline constexpr Deadline eventDeadline{30'000};

class Server {
 public:
  explicit Server(std::string logPath) : logPath_(std::move(logPath)) {}
  ~Server() { kill(); }
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  /// Starts `argv` in `workDir` with exactly the environment `env`, truncating the log.
  void spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
             const std::string& workDir);
  /// Waits until the log holds at least `count` lines containing `text`; false when the
  /// deadline passes or the process ends first.
  [[nodiscard]] bool waitForLog(const std::string& text, int count = 1,
                                Deadline deadline = eventDeadline);
  /// The number of log lines containing `text`.
  int logCount(const std::string& text) const;
  /// The log lines containing `text`.
  std::vector<std::string> logLines(const std::string& text) const;
  std::string log() const;

  void signal(int sig) const;
  /// Whether the process has ended; it is reaped then, and its status kept for `waitExit`.
  bool ended();
  /// Waits for the process to end; its exit status, or nullopt (signal or deadline, after
  /// which it is killed).
  std::optional<int> waitExit(Deadline deadline = eventDeadline);
  /// SIGTERM, then the exit status as `waitExit` gives it.
  std::optional<int> stop();
  void kill();
  bool running() const { return pid_ > 0; }

 private:
  std::string logPath_;
  pid_t pid_ = -1;
  std::optional<int> exitStatus_;  // of the last process, once reaped
};

/// The lines of `text` containing `needle`.
std::vector<std::string> linesContaining(const std::string& text, const std::string& needle);

}  // namespace E2e
