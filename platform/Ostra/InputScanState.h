// Ostra/InputScanState.h — how far a state machine's scan of its inputs has come.
///
/// `notStarted` until the first run, `yielded` while a scan waits for its next run,
/// `complete` when a scan has covered every input, and `initialComplete` when the first full
/// scan after start-up has ended (the machine's output is then whole for the first time).
#pragma once

#include <ostream>

#include "Pondo/Types.h"

namespace Ostra::Gen {

enum class InputScanState : U8 { notStarted = 0, yielded = 1, complete = 2, initialComplete = 3 };

/// The enumerator's name; "unknown" for a value outside the enumeration.
constexpr const char* stringValue(InputScanState state) noexcept {
  switch (state) {
    case InputScanState::notStarted:
      return "notStarted";
    case InputScanState::yielded:
      return "yielded";
    case InputScanState::complete:
      return "complete";
    case InputScanState::initialComplete:
      return "initialComplete";
  }
  return "unknown";
}

inline std::ostream& operator<<(std::ostream& out, InputScanState state) {
  return out << stringValue(state);
}

}  // namespace Ostra::Gen
