// host/notifications/DropsRisingDetector.h — decides when a row's drop counter has started rising.
///
/// A counter is still once it has not risen for the still period; its next rise is a start,
/// and a start is reported unless the row was reported within the hold-down. Rows the detector
/// has not seen rise count as still since the detector was made, so counters already rising
/// when the daemon starts are not reported until they have been still once. Rows are known by
/// their packed key only; state is kept for rows that rose recently, and swept once a period
/// (the longer of the two) has passed, so memory follows the storms, not the table.
#pragma once

#include <chrono>
#include <unordered_map>

#include "Pondo/Types.h"

namespace Host {

class DropsRisingDetector {
 public:
  using Clock = std::chrono::steady_clock;

  DropsRisingDetector(Clock::duration still, Clock::duration holddown, Clock::time_point start);

  /// The counter of row `key` moved from `before` to `after` at `now` (never earlier than the
  /// previous call's); true when that is a start to report now.
  bool moved(U64 key, U64 before, U64 after, Clock::time_point now);

  /// Starts reported, and starts not reported because of the hold-down.
  U64 reported() const noexcept { return reported_; }
  U64 heldDown() const noexcept { return heldDown_; }
  /// Rows with state kept.
  std::size_t rowsKept() const noexcept { return rows_.size(); }

 private:
  struct Row {
    Clock::time_point lastRise;
    Clock::time_point lastReport;
    bool reportedOnce = false;
  };

  bool heldDown(const Row& row, Clock::time_point now) const {
    return row.reportedOnce && now - row.lastReport < holddown_;
  }
  void sweep(Clock::time_point now);

  Clock::duration still_;
  Clock::duration holddown_;
  Clock::time_point start_;
  Clock::time_point nextSweep_;
  std::unordered_map<U64, Row> rows_;
  U64 reported_ = 0;
  U64 heldDown_ = 0;
};

}  // namespace Host
