// Snmp/MibContext.h — the host's notes of which MIB modules are served in which context.
///
/// A plug-in notes (context, MIB) when it starts serving a MIB module in an SNMP context and
/// withdraws the note when it stops. Notes form a set: noting a pair twice keeps one note,
/// which one withdrawal removes. The notes live for the process, so plug-ins may withdraw
/// theirs from static destructors at exit.
#pragma once

#include <compare>

#include "Pondo/String.h"

namespace Snmp {

struct MibContext {
  Pondo::String context;
  Pondo::String mib;

  friend std::strong_ordering operator<=>(const MibContext&, const MibContext&) = default;
  friend bool operator==(const MibContext&, const MibContext&) = default;
};

void registerMibContext(Pondo::String context, Pondo::String mib);
void unregisterMibContext(Pondo::String context, Pondo::String mib);
/// Whether (context, mib) is noted.
bool mibContextExists(const Pondo::String& context, const Pondo::String& mib);

}  // namespace Snmp
