// host/process/ServiceNotifier.h — tells the service manager (systemd, `Type=notify`) when the
// daemon serves its table.
///
/// READY=1 goes once, when both have happened, in either order: the daemon is serving (its
/// listeners are open, or as a subagent its master connection is set up) and the table is
/// complete. From then on STATUS= gives the row count of every table ready (the agent's restarts
/// included); STOPPING=1 marks the start of shutdown.
///
/// When the service manager asks for a watchdog (WATCHDOG_USEC, and WATCHDOG_PID naming this
/// process if set), WATCHDOG=1 goes every half of that interval from the moment the daemon
/// serves, from a repeating net-snmp alarm: alarms run from the event loop, so a loop that hangs
/// stops the pings and the service manager restarts the daemon. sd_notify sends nothing when
/// NOTIFY_SOCKET is unset, so outside systemd every call does nothing. One thread.
#pragma once

#include <optional>

namespace Host {

class ServiceNotifier {
 public:
  /// The daemon serves requests; the event loop runs from now on. Starts the watchdog's pings.
  void serving();
  /// The table is complete, with `rows` rows.
  void tableReady(unsigned rows);
  /// Shutdown has begun.
  void stopping();

 private:
  /// Sends READY=1 (the first time) and the status once serving with a complete table.
  void announce();
  /// Registers the alarm that sends WATCHDOG=1, when the service manager wants it.
  static void startWatchdog();

  bool serving_ = false;
  bool readySent_ = false;
  std::optional<unsigned> rows_;  // of the last table ready
};

}  // namespace Host
