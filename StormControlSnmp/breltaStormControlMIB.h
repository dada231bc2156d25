// StormControlSnmp/breltaStormControlMIB.h — the SNMP table module of the storm-control MIB.
///
/// Serves the read-only table `breltaStormControlIfTable` (`Contract::tableOid`) from the
/// `StormControlMib` entity at `Contract::mibPath`. At load the module hands the
/// agent host one registration object; the host calls it once per SNMP context. The default
/// context (empty name) gets a net-snmp registration with the chain serialize handler → table
/// helper → sorted table iterator (the request's index values are the hint where a walk starts)
/// → `breltaStormControlIfTable_handler`; any other context is only noted with the host.
///
/// Requests, as net-snmp's helpers present them to the handler:
/// - GET: the iterator finds the exact row; a missing row never reaches the handler
///   (noSuchInstance), nor do columns other than 2, 3 and 4 (noSuchObject).
/// - GETNEXT and GETBULK: the iterator starts at the requested row (one lookup) and steps to the
///   next one; the handler then answers a GET for that row.
/// - SET and every other mode: notWritable on the first unprocessed request.
///
/// A walk holds counted references to its rows, so a row removed between requests stays
/// readable until the walk is done, and the collection's version rule makes the next step go to
/// the next key still in the table. One thread, no locks.
#pragma once

#include <list>
#include <map>

#include "Pondo/String.h"
#include "Pooly/Slab.h"
#include "Snmp/Config.h"
#include "StormControlSnmp/StormControlSnmp.h"

struct netsnmp_handler_registration_s;
struct netsnmp_column_info_t;

/// Initialises the MIB module for one context: serves the table in the default context and
/// notes the module with the host in every context.
void init_breltaStormControlMIB(Pondo::String context);

/// Registers the table with net-snmp for the default context; for another context it creates
/// nothing. `config` is not consulted.
void initialize_table_breltaStormControlIfTable(Snmp::Config::PtrConst config,
                                                Pondo::String context);

/// Withdraws the MIB module from one context: what `init_breltaStormControlMIB` registered
/// there is unregistered and freed. A served context must be unregistered before it is
/// initialised again.
void unregister_breltaStormControlMIB(Pondo::String context);

/// The loop and data context of a table walk: an iterator over `stormControlIfTable` (the
/// collection, a counted reference to the current row, the collection's version when it was
/// positioned). Past the last row the row is null and stays null. Made and freed only by the
/// module's iterator callbacks; net-snmp holds it as an opaque pointer in between.
///
/// One record is both contexts while they are at the same row: the data context made for the
/// row a loop stands on is the loop's own record, freed when net-snmp has released it in both
/// roles. A loop that steps on from a record held as a data context goes on in a copy, and a
/// second data context at the same row is a copy too.
struct breltaStormControlIfTable_entry : Pooly::Slab<breltaStormControlIfTable_entry> {
  static inline Pooly::AllocTracker memAllocationTracker_{"breltaStormControlIfTable_entry"};

  /// The roles in which net-snmp holds the record, as bits.
  enum Role : U8 { loop = 1, data = 2 };

  breltaStormControlIfTable_entry(StormControlSnmp::StormControlMib::Iterator at, Role role)
      : iterator(std::move(at)), roles(role) {}

  StormControlSnmp::StormControlIfTableEntry* row() const { return iterator.member(); }
  bool heldAs(Role role) const { return roles & role; }
  void holdAs(Role role) { roles |= role; }
  /// Ends the role `role`; the record is freed when no role is left.
  void release(Role role) {
    roles &= ~role;
    if (!roles) delete this;
  }

  StormControlSnmp::StormControlMib::Iterator iterator;
  U8 roles;
};

/// What the module registered per context, in registration order; for inspection. A handler
/// registration belongs to net-snmp once registered; column-info records are freed by the
/// module when their context is unregistered.
using BreltaHandlerRegs = std::list<netsnmp_handler_registration_s*>;
using BreltaColumnInfos = std::list<netsnmp_column_info_t*>;
const std::map<Pondo::String, BreltaHandlerRegs>& breltaStormControlMIBHandlerRegsByContext();
const std::map<Pondo::String, BreltaColumnInfos>& breltaStormControlMIBColumnInfosByContext();
