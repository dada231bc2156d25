// host/switchstate/StateFields.h — the schema of a state file: its sections and the fields of a
// class.
///
/// The one table of what a traffic class's status holds in a state file: each field's JSON
/// name, the range a file may give it, and the member of `ClassStatus` it is. The reader and
/// the writer are both driven by it (and by `trafficClassNames` for the classes), so a new
/// field or class is one entry here or in the status model, and nothing else names them.
#pragma once

#include <iterator>
#include <string_view>

#include "Bridging/IntfStatus.h"

namespace Host::StateFields {

using Bridging::StormControl::ClassStatus;

/// The top object's two keys: interface name to ifIndex, and status entity to its entries.
inline constexpr std::string_view interfaces = "interfaces";
inline constexpr std::string_view status = "status";

/// The ifIndexes a file may give.
inline constexpr U64 minIfIndex = 1;
inline constexpr U64 maxIfIndex = 0xffffffffu;

/// One field of a class's status: a non-negative integer in `min`..`max`.
struct Field {
  std::string_view name;
  U64 min;
  U64 max;
  U64 (*get)(const ClassStatus&);
  void (*set)(ClassStatus&, U64);
};

inline constexpr Field classFields[] = {
    {"level", 0, ~U64{0}, [](const ClassStatus& c) { return c.threshold.level; },
     [](ClassStatus& c, U64 v) { c.threshold.level = v; }},
    {"units", 0, U64(Bridging::StormControl::ThresholdType::kilobitsPerSecond),
     [](const ClassStatus& c) { return U64(c.threshold.type); },
     [](ClassStatus& c, U64 v) { c.threshold.type = Bridging::StormControl::ThresholdType(v); }},
    {"scale", 0, 0xff, [](const ClassStatus& c) { return U64(c.threshold.scale); },
     [](ClassStatus& c, U64 v) { c.threshold.scale = U8(v); }},
    {"drops", 0, ~U64{0}, [](const ClassStatus& c) { return c.drops; },
     [](ClassStatus& c, U64 v) { c.drops = v; }},
};
inline constexpr std::size_t classFieldCount = std::size(classFields);

}  // namespace Host::StateFields
