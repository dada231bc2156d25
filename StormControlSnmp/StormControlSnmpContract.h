// StormControlSnmp/StormControlSnmpContract.h — what the daemon and the plug-in agree on.
///
/// The daemon loads the plug-in with dlopen: it never links it nor includes its class headers.
/// Both sides include this header, and everything that crosses between them is stated here once:
/// - the state database's paths, where the daemon puts the entities and the plug-in finds them;
/// - the registered type names and the attribute numbers the daemon uses through generic access
///   (the plug-in registers its types under these names and checks its enums against these
///   numbers at build time);
/// - the MIB's OIDs: the table, its columns, the notification and its variables, the agent's
///   sysObjectID; and the IF-MIB objects the daemon serves;
/// - the `extern "C"` entry points the daemon resolves with dlsym, declared here so that the
///   plug-in's definitions and the daemon's function pointers share one signature;
/// - how a row and its key are read, and "row replaced", the publication the daemon relies on.
///
/// Header-only (standard headers and the platform's traffic classes): programs that do not link
/// the plug-in use the OIDs too.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "Bridging/TrafficClass.h"

namespace Pondo {
struct Change;
}
namespace Qel {
class Entity;
}

namespace StormControlSnmp::Contract {

// ---- state database ---------------------------------------------------------------------

/// Paths below the agent's mount point; every step but the last is a directory.
inline constexpr std::string_view mibPath = "snmp/stormcontrol/stormcontrolmib";
inline constexpr std::string_view rootPath = "snmp/stormcontrol/root";
inline constexpr std::string_view slicePath = "bridging/stormcontrol/status";
inline constexpr std::string_view ifMibPath = "interface/snmp/ifmib";

// ---- registered types and the attributes the daemon uses -----------------------------------

inline constexpr const char* mibType = "StormControlSnmp::StormControlMib";
inline constexpr const char* rootType = "StormControlSnmp::Root";
inline constexpr const char* agentType = "StormControlSnmp::StormControlSnmpAgent";
inline constexpr const char* machineType = "StormControlSnmp::StormControlIfTableSm";
inline constexpr const char* outputStateType =
    "StormControlSnmp::KrelCode::StormControlIfTableSm::OutputState";

/// The table entity's collection of rows, whose publications are read below.
inline constexpr std::uint16_t mibTableAttr = 258;
/// The root's agent, instantiated with (table entity, slice directory, interface MIB).
inline constexpr std::uint16_t rootAgentAttr = 258;
/// The agent's three inputs, its machine's control value and its machine.
inline constexpr std::uint16_t agentMibAttr = 130;
inline constexpr std::uint16_t agentSliceAttr = 131;
inline constexpr std::uint16_t agentIfMibAttr = 132;
inline constexpr std::uint16_t agentSmControlAttr = 133;
inline constexpr std::uint16_t agentMachineAttr = 134;
/// The machine's output state, and its flag `ready`: the table is complete.
inline constexpr std::uint16_t machineOutputStateAttr = 134;
inline constexpr std::uint16_t outputReadyAttr = 131;

// ---- MIB ----------------------------------------------------------------------------------

/// A sub-identifier: net-snmp's `oid`.
using Subid = unsigned long;

/// The IANA private enterprise number under which the MIB module lives (32473: reserved for
/// documentation).
inline constexpr Subid enterpriseNumber = 32473;

/// `base` followed by `arcs`.
template <std::size_t N, class... Arcs>
constexpr std::array<Subid, N + sizeof...(Arcs)> oidOf(const std::array<Subid, N>& base,
                                                       Arcs... arcs) {
  std::array<Subid, N + sizeof...(Arcs)> out{};
  for (std::size_t i = 0; i < N; ++i) out[i] = base[i];
  std::size_t i = N;
  ((out[i++] = Subid(arcs)), ...);
  return out;
}

/// breltaStormControlMIB, enterprises.32473.3.35.
inline constexpr std::array<Subid, 9> mibOid = {1, 3, 6, 1, 4, 1, enterpriseNumber, 3, 35};
/// breltaStormControlIfTable, the registered OID; a request names its entry (`entryOid`), then
/// the column, then the indexes ifIndex and traffic class.
inline constexpr auto tableOid = oidOf(mibOid, 1, 1);
inline constexpr auto entryOid = oidOf(tableOid, 1);
/// breltaStormControlDropsRising and its own variable breltaStormControlNotifyTrafficClass.0.
inline constexpr auto dropsRisingOid = oidOf(mibOid, 0, 1);
inline constexpr auto notifyTrafficClassOid = oidOf(mibOid, 1, 2, 0);
/// breltaStormControlAgent, the agent's sysObjectID.
inline constexpr auto agentObjectIdOid = oidOf(mibOid, 3);

/// IF-MIB's objects the daemon serves: the interfaces group's ifNumber (a scalar) and ifEntry,
/// whose columns ifIndex and ifDescr it serves, and ifXEntry's column ifName.
inline constexpr std::array<Subid, 7> interfacesOid = {1, 3, 6, 1, 2, 1, 2};
inline constexpr auto ifNumberOid = oidOf(interfacesOid, 1);
inline constexpr auto ifEntryOid = oidOf(interfacesOid, 2, 1);
inline constexpr auto ifXEntryOid = std::array<Subid, 10>{1, 3, 6, 1, 2, 1, 31, 1, 1, 1};
/// IF-MIB::ifIndex, the column whose instance the notification carries.
inline constexpr auto ifIndexOid = oidOf(ifEntryOid, 1);
inline constexpr auto ifDescrOid = oidOf(ifEntryOid, 2);
inline constexpr auto ifNameOid = oidOf(ifXEntryOid, 1);

/// The served columns, in order: a list, not a range.
inline constexpr unsigned thresholdLevelColumn = 2;
inline constexpr unsigned thresholdUnitsColumn = 3;
inline constexpr unsigned dropsColumn = 4;
inline constexpr std::array<unsigned, 3> columns = {thresholdLevelColumn, thresholdUnitsColumn,
                                                    dropsColumn};
inline constexpr unsigned minColumn = columns.front();
inline constexpr unsigned maxColumn = columns.back();

/// Traffic classes, the second index: the platform's, numbered as there.
inline constexpr unsigned trafficClassCount = Bridging::StormControl::trafficClassCount;

/// The OID of `column`'s value in the row (ifIndex, trafficClass).
constexpr auto instanceOid(unsigned column, std::uint32_t ifIndex, unsigned trafficClass) {
  return oidOf(entryOid, column, ifIndex, trafficClass);
}

// ---- rows ---------------------------------------------------------------------------------

/// The row key as one number, in the table's index order: ifIndex, then traffic class.
constexpr std::uint64_t packedKey(std::uint32_t ifIndex, std::uint8_t trafficClass) noexcept {
  return std::uint64_t{ifIndex} << 8 | trafficClass;
}

/// A row as the daemon reads it: its key and its drop counter.
struct Row {
  std::uint32_t ifIndex;
  std::uint8_t trafficClass;
  std::uint64_t drops;

  constexpr std::uint64_t key() const noexcept { return packedKey(ifIndex, trafficClass); }
};

/// Row replaced. The table never changes a row in place: a row whose interface status changes
/// is replaced, by publishing the old row's removal and, immediately after it, the insertion of
/// the new row with the same key. Nothing else is published on the table between the two, and
/// subscribers do not write the table while they handle the removal. So a subscriber tells a
/// replacement (one row whose values moved from the old row's to the new row's) from a row gone
/// (any other removal) and a new row (any other insertion) by the publications alone.
///
/// The table publishes a replacement through `publish`; a subscriber pairs its two halves with
/// `removed` and `inserted`.
class RowReplaced {
 public:
  /// One replacement: `remove()` publishes the old row's removal, `insert()` the new row's
  /// insertion.
  template <class Remove, class Insert>
  static void publish(Remove&& remove, Insert&& insert) {
    remove();
    insert();
  }

  /// Notes a removal, which the next insertion may complete.
  void removed(const Row& row) noexcept { removed_ = row; }
  /// Whether a removal waits for its insertion: only then is an insertion worth reading.
  bool pending() const noexcept { return removed_.has_value(); }
  /// The row that `row`'s insertion replaced, when it completes a replacement; nothing
  /// otherwise. Either way the noted removal is forgotten.
  std::optional<Row> inserted(const Row& row) noexcept {
    const std::optional<Row> before = removed_;
    removed_.reset();
    if (before && before->key() == row.key()) return before;
    return std::nullopt;
  }

 private:
  std::optional<Row> removed_;
};

// ---- entry points -------------------------------------------------------------------------
// Exported by the plug-in with C linkage; the daemon resolves each by its name.

extern "C" {

/// Reads the row a publication of the table entity `mib` names: for a removal the removed row,
/// for an insertion the row now at the key. False for a publication of another attribute, or
/// an insertion whose row is gone again.
bool stormControlSnmpChangedRow(const Qel::Entity* mib, const Pondo::Change* change, Row* row);

/// Withdraws the MIB module from `context`, as `unregister_breltaStormControlMIB` does.
void stormControlSnmpUnregisterContext(const char* context);

}  // extern "C"

using ChangedRowFunction = decltype(&stormControlSnmpChangedRow);
using UnregisterContextFunction = decltype(&stormControlSnmpUnregisterContext);

}  // namespace StormControlSnmp::Contract
