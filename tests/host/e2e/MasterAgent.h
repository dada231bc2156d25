// tests/host/e2e/MasterAgent.h — Debian's snmpd as the AgentX master agent of a daemon under test.
///
/// snmpd runs in the foreground from a private directory holding its configuration file, its
/// AgentX unix socket, its persistent directory and its log. It reads no system configuration
/// (`-C -c FILE`), listens only on a free loopback UDP port (a new one at every start: the
/// clients ask `agent()`) and keeps the same socket across restarts, as a master restarted on a
/// switch does. It runs as whoever runs the tests (root in CI: snmpd drops privileges only when
/// told to with -u/-g). It is a `Server`: whatever happens to the test, it is killed.
#pragma once

#include <string>
#include <vector>

#include "Daemon.h"
#include "Server.h"
#include "SnmpTarget.h"
#include "TempDir.h"

namespace E2e {

class MasterAgent final : public SnmpTarget {
 public:
  MasterAgent() = default;
  MasterAgent(const MasterAgent&) = delete;
  MasterAgent& operator=(const MasterAgent&) = delete;

  /// Starts snmpd and waits until it serves; false (the log says why) when it does not.
  [[nodiscard]] bool start();
  /// SIGTERM: snmpd closes its subagents' sessions and exits; true when it exited with 0.
  [[nodiscard]] bool stop();
  /// SIGKILL: the kernel closes the sessions.
  void kill() { server_.kill(); }
  bool running() const { return server_.running(); }

  /// The AgentX socket, as a subagent's --agentx names it.
  std::string socket() const { return dir_.file("agentx.sock"); }
  std::string agent() const override;
  std::vector<std::string> environment() const override;
  /// The log of the latest start.
  std::string log() const { return server_.log(); }

 private:
  LaunchOutcome launch();

  TempDir dir_;
  Server server_{dir_.file("snmpd.log")};
  int port_ = 0;
};

}  // namespace E2e
