// tests/host/e2e/TrapReceiver.h — Debian's snmptrapd on a free loopback port, as the target of
// the daemon's notifications.
///
/// It reads only the configuration the test gives it (no system files, no MIB) and logs every
/// notification it accepts, with its variables in numeric form, to its log file, which
/// `notifications()` parses. It acknowledges informs itself.
#pragma once

#include <string>
#include <vector>

#include "Server.h"
#include "TempDir.h"
#include "VarBind.h"

namespace E2e {

struct Notification {
  std::string kind;  // snmptrapd's description: "TRAP2, SNMP v2c, community public", ...
  std::vector<VarBind> vars;
};

class TrapReceiver {
 public:
  /// Starts with the configuration `lines` (authCommunity, createUser, authUser...) and waits
  /// until it listens; false (its log says why) when it does not get there.
  [[nodiscard]] bool start(const std::vector<std::string>& lines);
  /// "udp:127.0.0.1:PORT".
  std::string address() const { return "udp:127.0.0.1:" + std::to_string(port_); }

  std::vector<Notification> notifications() const;
  /// Waits until at least `count` notifications have arrived.
  [[nodiscard]] bool waitFor(int count, Deadline deadline = eventDeadline);
  std::string log() const { return server_.log(); }

 private:
  TempDir dir_;
  Server server_{dir_.file("snmptrapd.log")};
  int port_ = 0;
};

}  // namespace E2e
