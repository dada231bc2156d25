// tests/host/e2e/SnmpTarget.h — an agent the snmp clients query: the daemon or a master agent.
#pragma once

#include <string>
#include <vector>

namespace E2e {

class SnmpTarget {
 public:
  /// The transport address the clients use, e.g. "udp:127.0.0.1:PORT".
  virtual std::string agent() const = 0;
  /// What the clients' environment adds: no MIB loading, no configuration or persistent files
  /// outside the agent's private directory.
  virtual std::vector<std::string> environment() const = 0;

 protected:
  ~SnmpTarget() = default;
};

}  // namespace E2e
