// host/process/ServiceNotifier.cpp — the daemon's readiness and status, through sd_notify.
#include "ServiceNotifier.h"

// net-snmp wants its configuration header first.
#include <net-snmp/net-snmp-config.h>

#include <net-snmp/net-snmp-includes.h>
#include <systemd/sd-daemon.h>

#include <algorithm>
#include <cstdint>
#include <string>

namespace Host {
namespace {

void pingWatchdog(unsigned /*alarm*/, void* /*unused*/) { sd_notify(0, "WATCHDOG=1"); }

}  // namespace

void ServiceNotifier::serving() {
  serving_ = true;
  startWatchdog();
  announce();
}

void ServiceNotifier::tableReady(unsigned rows) {
  rows_ = rows;
  announce();
}

void ServiceNotifier::stopping() { sd_notify(0, "STOPPING=1\nSTATUS=shutting down"); }

void ServiceNotifier::startWatchdog() {
  std::uint64_t usec = 0;
  if (sd_watchdog_enabled(0, &usec) <= 0) return;
  // Half the timeout, as sd_watchdog_enabled(3) advises: one late ping is not yet a restart.
  const std::uint64_t interval = std::max<std::uint64_t>(usec / 2, 1);
  const timeval every{time_t(interval / 1000000), suseconds_t(interval % 1000000)};
  if (snmp_alarm_register_hr(every, SA_REPEAT, pingWatchdog, nullptr) == 0) {
    snmp_log(LOG_WARNING, "watchdog: cannot set the alarm; no WATCHDOG=1 will be sent\n");
  }
}

void ServiceNotifier::announce() {
  if (!serving_ || !rows_) return;
  std::string state = "STATUS=serving " + std::to_string(*rows_) + " rows";
  if (!readySent_) state = "READY=1\n" + state;
  readySent_ = true;
  sd_notify(0, state.c_str());
}

}  // namespace Host
