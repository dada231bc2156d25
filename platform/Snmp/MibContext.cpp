// Snmp/MibContext.cpp — the set of (context, MIB) notes.
#include "Snmp/MibContext.h"

#include <set>
#include <utility>

namespace Snmp {

namespace {

// Never destroyed: plug-ins may withdraw notes from their static destructors.
std::set<MibContext>& notes() {
  static auto* set = new std::set<MibContext>;
  return *set;
}

}  // namespace

void registerMibContext(Pondo::String context, Pondo::String mib) {
  notes().insert(MibContext{std::move(context), std::move(mib)});
}

void unregisterMibContext(Pondo::String context, Pondo::String mib) {
  notes().erase(MibContext{std::move(context), std::move(mib)});
}

bool mibContextExists(const Pondo::String& context, const Pondo::String& mib) {
  return notes().contains(MibContext{context, mib});
}

}  // namespace Snmp
