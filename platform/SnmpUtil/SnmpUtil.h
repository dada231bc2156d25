// SnmpUtil/SnmpUtil.h — what the agent host offers plug-ins: its configuration and its view
// of the state database.
///
/// The host mounts the agent's part of the state database at one directory
/// (`agentMountIs`); plug-ins find their entities by paths relative to it. Both the mount and
/// the configuration live for the process (they are never destroyed, so that plug-ins may
/// still use them from static destructors at exit).
#pragma once

#include "Pondo/Ptr.h"
#include "Qel/Entity.h"
#include "Snmp/Config.h"

namespace Qel {
class Dir;
}

namespace SnmpUtil {

/// The process's one agent configuration.
Snmp::Config::PtrConst getSnmpConfig();

/// Sets the directory paths are resolved from; null unmounts.
void agentMountIs(Pondo::Ptr<Qel::Dir> mount);
Pondo::Ptr<Qel::Dir> agentMount();

/// The entity at `path`, '/'-separated names relative to the agent's mount, e.g.
/// "snmp/stormcontrol/stormcontrolmib"; every step but the last must be a `Qel::Dir`. Null when
/// nothing is mounted, a step is missing or not a directory, or a name is empty (so also for
/// an empty path, a leading, trailing or doubled '/').
Pondo::Ptr<Qel::Entity> getEntityRelative(const char* path);

}  // namespace SnmpUtil
