// Bridging/TrafficClass.h — the traffic classes storm control keeps apart, and their names.
///
/// A class's number is its index in every per-class array of the status model and its position
/// in `trafficClassNames`; the names are those a state file and the MIB give the classes.
/// Adding a class means adding its enumerator and its name: the assertion below keeps the two in
/// step, and per-class arrays grow with `trafficClassCount`.
#pragma once

#include <cstddef>
#include <iterator>

#include "Pondo/Types.h"

namespace Bridging::StormControl {

enum class TrafficClass : U8 {
  all = 0,
  broadcast = 1,
  multicast = 2,
  unknownUnicast = 3,
};

/// Each class's name, by number.
inline constexpr const char* trafficClassNames[] = {"all", "broadcast", "multicast",
                                                    "unknownUnicast"};
inline constexpr std::size_t trafficClassCount = std::size(trafficClassNames);
static_assert(trafficClassCount == std::size_t(TrafficClass::unknownUnicast) + 1,
              "every traffic class needs a name, and every name a class");

}  // namespace Bridging::StormControl
