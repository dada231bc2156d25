// host/ServiceNotifier.cpp — the daemon's readiness and status, through sd_notify.
#include "ServiceNotifier.h"

#include <systemd/sd-daemon.h>

#include <string>

namespace Host {

void ServiceNotifier::serving() {
  serving_ = true;
  announce();
}

void ServiceNotifier::tableReady(unsigned rows) {
  rows_ = rows;
  announce();
}

void ServiceNotifier::stopping() { sd_notify(0, "STOPPING=1\nSTATUS=shutting down"); }

void ServiceNotifier::announce() {
  if (!serving_ || !rows_) return;
  std::string state = "STATUS=serving " + std::to_string(*rows_) + " rows";
  if (!readySent_) state = "READY=1\n" + state;
  readySent_ = true;
  sd_notify(0, state.c_str());
}

}  // namespace Host
