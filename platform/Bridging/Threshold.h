// Bridging/Threshold.h — a storm-control threshold of the status model.
///
/// A threshold is a level, the units the level is expressed in, and a one-byte scale that
/// qualifies the level. A threshold that was never configured holds the model's default
/// (level 10000, units 0, scale 4).
#pragma once

#include "Pondo/Types.h"

namespace Bridging::StormControl {

/// Units of a threshold level.
enum class ThresholdType : U8 {
  percentage = 0,
  packetsPerSecond = 1,
  kilobitsPerSecond = 2,
};

struct Threshold {
  U64 level = 10000;
  ThresholdType type = ThresholdType::percentage;
  U8 scale = 4;

  static bool isEq(const Threshold& a, const Threshold& b) noexcept { return a == b; }
  bool operator==(const Threshold&) const = default;
};

}  // namespace Bridging::StormControl
