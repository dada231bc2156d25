// host/ifmib/InterfaceNames.h — IF-MIB's names of the switch's interfaces: ifNumber, and ifIndex,
// ifDescr and ifName of each interface.
///
/// The rows are the interface MIB model's map (IntfSnmp::IfMib `ifIndexByIntfId`), ordered by
/// ifIndex: the map is kept by name, so this holds an ifIndex-ordered copy of its (ifIndex, name)
/// pairs, filled at construction and kept in step by the map's change publications. The copy is
/// a B-tree of 16-byte pairs whose names share the map's text: about 24 bytes an interface,
/// half of what a node-per-pair tree takes. A request
/// costs one lookup in the copy as it stands; nothing is kept between requests, so a walk while
/// the map changes is strictly increasing and meets every interface that stayed as it was.
///
/// - ifDescr and ifName both carry the interface's name (DisplayString: at most 255 characters).
/// - IF-MIB's InterfaceIndex ends at 2147483647: an interface with a larger ifIndex is left out.
/// - An ifIndex may briefly have two interfaces while a change moves it from one to the other
///   (a swap is published as two changes); its first one is served meanwhile.
/// - Read-only: a SET is refused (notWritable).
///
/// Registered with net-snmp's agent library, in the default context, by the constructor and
/// unregistered by the destructor, which must run before the library shuts down. Holds the
/// interface MIB. One thread.
#pragma once

#include <vector>

#include <absl/container/btree_map.h>

#include "IntfSnmp/IfMib.h"
#include "Lumo/IntfId.h"
#include "Pondo/Ptr.h"
#include "Pondo/Publisher.h"

struct netsnmp_handler_registration_s;

namespace Host {

class InterfaceNames {
 public:
  explicit InterfaceNames(Pondo::Ptr<IntfSnmp::IfMib> ifMib);
  InterfaceNames(const InterfaceNames&) = delete;
  InterfaceNames& operator=(const InterfaceNames&) = delete;
  ~InterfaceNames();

  /// The interfaces served, by ifIndex.
  using Rows = absl::btree_multimap<U32, Lumo::IntfId>;

 private:
  static void onChange(void* self, const Pondo::Change& change);
  void insert(U32 ifIndex, const Lumo::IntfId& id);
  void erase(U32 ifIndex, const Lumo::IntfId& id);
  /// Registers `registration`, which names this object; logs a refusal.
  void add(netsnmp_handler_registration_s* registration, bool scalar);

  Pondo::Ptr<IntfSnmp::IfMib> ifMib_;
  Rows rows_;
  std::vector<netsnmp_handler_registration_s*> registered_;  // net-snmp's; unregistered at the end
  Pondo::Subscriber subscriber_{this, &InterfaceNames::onChange};
};

}  // namespace Host
