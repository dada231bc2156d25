// host/process/PersistentDir.h — the directory where net-snmp keeps the daemon's persistent state.
///
/// net-snmp saves the SNMPv3 engine's identity (oldEngineID) and boot counter (engineBoots)
/// there and reads them back at the next start, so engineBoots grows across restarts and the
/// engine ID stays, as users' localized keys require. The directory must therefore outlive the
/// process and be writable: one that cannot be created or written is refused at start-up rather
/// than silently losing that state.
#pragma once

#include <string>

namespace Host {

/// The directory used when none is asked for, from the environment, first match wins:
/// `$SNMP_PERSISTENT_DIR` (net-snmp's own variable); `$STATE_DIRECTORY` (systemd's
/// StateDirectory=, its first entry when it lists several); `/var/lib/stormcontrol-agent` for
/// `root`; else `${XDG_STATE_HOME:-$HOME/.local/state}/stormcontrol-agent` (a relative
/// XDG_STATE_HOME is ignored, as the XDG base directory rules say). Empty variables count as
/// unset. Empty when nothing applies (not root, no XDG_STATE_HOME and no HOME).
std::string defaultPersistentDir(bool root);

/// Makes `path` ready for net-snmp: creates it and its missing parents with mode 0700 (existing
/// directories keep their mode) and checks that a file can be created in it, which catches
/// read-only file systems for root too. False, with `error` set to one line naming `path`,
/// otherwise.
bool preparePersistentDir(const std::string& path, std::string& error);

/// The persistent directory to run with: `asked` (--persistent-dir) when not empty, else the
/// default for this process, prepared as above. Empty, with `error` set, when unusable.
std::string usablePersistentDir(const std::string& asked, std::string& error);

}  // namespace Host
