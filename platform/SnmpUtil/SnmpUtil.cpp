// SnmpUtil/SnmpUtil.cpp — the agent configuration and path lookup below the agent's mount.
#include "SnmpUtil/SnmpUtil.h"

#include <string_view>

#include "Pondo/Assert.h"
#include "Qel/Dir.h"

namespace SnmpUtil {

namespace {

// Never destroyed: the mount may hold plug-ins' entities, which must not be destroyed by the
// platform's static destructors after those plug-ins are gone.
Pondo::Ptr<Qel::Dir>& mountSlot() {
  static auto* slot = new Pondo::Ptr<Qel::Dir>;
  return *slot;
}

/// The entity named `name` in `dir`, or null. The directory's entities are shared, not part of
/// the directory's own state, so a const directory hands them out as they are held.
Pondo::Ptr<Qel::Entity> member(const Qel::Dir& dir, const Pondo::String& name) {
  Qel::Dir::Iterator it = dir.entityPtrIteratorConst(name);
  if (!it || !(it.key() == name)) return nullptr;
  return it.value();
}

}  // namespace

Snmp::Config::PtrConst getSnmpConfig() {
  static const auto* config = new Snmp::Config::PtrConst(Pondo::make<Snmp::Config>());
  return *config;
}

void agentMountIs(Pondo::Ptr<Qel::Dir> mount) { mountSlot() = std::move(mount); }

Pondo::Ptr<Qel::Dir> agentMount() { return mountSlot(); }

Pondo::Ptr<Qel::Entity> getEntityRelative(const char* path) {
  PONDO_ASSERT_MSG(path, "getEntityRelative needs a path");
  Pondo::Ptr<Qel::Entity> at = mountSlot();
  std::string_view rest(path);
  while (at) {
    const std::string_view::size_type slash = rest.find('/');
    const std::string_view name = rest.substr(0, slash);
    const auto* dir = dynamic_cast<const Qel::Dir*>(at.get());
    if (name.empty() || !dir) return nullptr;
    at = member(*dir, Pondo::String(name));
    if (slash == std::string_view::npos) return at;
    rest.remove_prefix(slash + 1);
  }
  return nullptr;
}

}  // namespace SnmpUtil
