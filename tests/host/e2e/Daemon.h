// tests/host/e2e/Daemon.h — one stormcontrol-agent process under test.
///
/// The daemon runs as a `Server` from a private directory that also holds its state and
/// configuration files; it listens on a free loopback UDP port picked at start (a port taken
/// meanwhile by someone else is detected and another one tried), or nowhere when started as a
/// subagent. Its standard error, where net-snmp's log goes, is the server's log.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Server.h"
#include "SnmpTarget.h"
#include "TempDir.h"

namespace E2e {

/// How starting a server on a port ended.
enum class LaunchOutcome { ready, exited, portTaken };

class Daemon final : public SnmpTarget {
 public:
  /// Builds the daemon's arguments for a port; called again for each port tried, so that
  /// configuration files naming the port can be written for it.
  using ArgsForPort = std::function<std::vector<std::string>(int port)>;

  Daemon() = default;
  ~Daemon();
  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;

  /// Starts with `--listen udp:127.0.0.1:PORT` followed by `args`, and waits for
  /// "listening on". Returns false (the log says why) when the daemon does not get there.
  [[nodiscard]] bool start(const std::vector<std::string>& args);
  /// Starts with exactly the arguments `argsFor(port)` gives, and waits for "listening on".
  [[nodiscard]] bool startWith(const ArgsForPort& argsFor);
  /// Starts with exactly `args` (an --agentx subagent: it listens nowhere) and waits until the
  /// table is ready.
  [[nodiscard]] bool startSubagent(const std::vector<std::string>& args);
  /// Runs the daemon with `args` until it exits by itself; the exit status, or nullopt when it
  /// was still running at the deadline (then killed) or died by a signal.
  std::optional<int> runToExit(const std::vector<std::string>& args, Deadline deadline);

  /// Waits until the log holds at least `count` lines containing `text`.
  [[nodiscard]] bool waitForLog(const std::string& text, int count = 1,
                                Deadline deadline = eventDeadline) {
    return server_.waitForLog(text, count, deadline);
  }
  /// The number of log lines containing `text`.
  int logCount(const std::string& text) const { return server_.logCount(text); }
  /// The log lines containing `text`.
  std::vector<std::string> logLines(const std::string& text) const {
    return server_.logLines(text);
  }
  std::string log() const { return server_.log(); }

  void signal(int sig) const { server_.signal(sig); }
  /// Waits for the process to end; its exit status, or nullopt (signal or deadline).
  std::optional<int> waitExit(Deadline deadline = eventDeadline) {
    return server_.waitExit(deadline);
  }
  /// SIGTERM, then the exit status as `waitExit` gives it.
  std::optional<int> stop() { return server_.stop(); }
  bool running() const { return server_.running(); }

  int port() const { return port_; }
  /// "udp:127.0.0.1:PORT", the address the snmp clients use.
  std::string agent() const override;
  const TempDir& dir() const { return dir_; }
  /// The environment both the daemon and the clients get: no MIB loading, no configuration
  /// or persistent files outside the private directory.
  std::vector<std::string> environment() const override;

 private:
  /// Spawns and waits for a log line containing `ready`.
  LaunchOutcome launch(const std::vector<std::string>& args, const std::string& ready);
  void spawn(const std::vector<std::string>& args);

  TempDir dir_;
  Server server_{dir_.file("agent.log")};
  int port_ = 0;
};

/// A loopback UDP port that was free a moment ago.
int freeUdpPort();

/// Sets `port` to a free loopback UDP port and calls `launch`, again with another port while
/// the port was taken meanwhile (a few times at most); true once `launch` reports ready.
bool launchOnFreePort(int& port, const std::function<LaunchOutcome()>& launch);

/// Lines the sanitizers print when they find a fault; empty when there are none.
std::string sanitizerReports(const std::string& log);

}  // namespace E2e
