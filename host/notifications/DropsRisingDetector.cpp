// host/notifications/DropsRisingDetector.cpp — start detection and hold-down per row.
#include "DropsRisingDetector.h"

#include <algorithm>

namespace Host {

DropsRisingDetector::DropsRisingDetector(Clock::duration still, Clock::duration holddown,
                                         Clock::time_point start)
    : still_(still),
      holddown_(holddown),
      start_(start),
      nextSweep_(start + std::max(still, holddown)) {}

bool DropsRisingDetector::moved(U64 key, U64 before, U64 after, Clock::time_point now) {
  if (after <= before) return false;  // still, or a counter cleared: not a rise
  if (now >= nextSweep_) sweep(now);
  Row& row = rows_.try_emplace(key, Row{start_, {}, false}).first->second;
  const bool wasStill = now - row.lastRise >= still_;
  row.lastRise = now;
  if (!wasStill) return false;
  if (heldDown(row, now)) {
    ++heldDown_;
    return false;
  }
  row.lastReport = now;
  row.reportedOnce = true;
  ++reported_;
  return true;
}

void DropsRisingDetector::sweep(Clock::time_point now) {
  // A row that is still and out of its hold-down acts exactly as a row never seen: both have
  // been still for the whole still period (the start lies further back than that by now).
  std::erase_if(rows_, [&](const auto& entry) {
    return now - entry.second.lastRise >= still_ && !heldDown(entry.second, now);
  });
  nextSweep_ = now + std::max(still_, holddown_);
}

}  // namespace Host
