// tests/host/e2e/MasterAgent.h — Debian's snmpd as the AgentX master agent of a daemon under test.
///
/// snmpd runs in the foreground from a private directory holding its configuration file, its
/// AgentX unix socket, its persistent directory and its log. It reads no system configuration
/// (`-C -c FILE`), listens only on a free loopback UDP port (a new one at every start: the
/// clients ask `agent()`) and keeps the same socket across restarts, as a master restarted on a
/// switch does. It runs as whoever runs the tests (root in CI: snmpd drops privileges only when
/// told to with -u/-g). Whatever happens to the test, the destructor kills it, and the kernel
/// kills it if the test process dies first.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "SnmpTarget.h"
#include "TempDir.h"

namespace E2e {

class MasterAgent final : public SnmpTarget {
 public:
  MasterAgent() = default;
  ~MasterAgent();
  MasterAgent(const MasterAgent&) = delete;
  MasterAgent& operator=(const MasterAgent&) = delete;

  /// Starts snmpd and waits until it serves; false (the log says why) when it does not.
  [[nodiscard]] bool start();
  /// SIGTERM: snmpd closes its subagents' sessions and exits; true when it exited with 0.
  [[nodiscard]] bool stop();
  /// SIGKILL: the kernel closes the sessions.
  void kill();
  bool running() const { return pid_ > 0; }

  /// The AgentX socket, as a subagent's --agentx names it.
  std::string socket() const { return dir_.file("agentx.sock"); }
  std::string agent() const override;
  std::vector<std::string> environment() const override;
  /// Every start's log, one after the other.
  std::string log() const;

 private:
  enum class Outcome { serving, exited, portTaken };
  Outcome launch();

  TempDir dir_;
  std::string logPath_ = dir_.file("snmpd.log");
  pid_t pid_ = -1;
  int port_ = 0;
};

}  // namespace E2e
