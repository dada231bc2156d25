// Ostra/SmControl.cpp — the setters that take their argument over, and field-wise equality.
#include "Ostra/SmControl.h"

#include <utility>

namespace Ostra {

void SmControl::schedulerIs(Pondo::Ptr<Velo::TaskScheduler> scheduler) noexcept {
  scheduler_ = std::move(scheduler);
}

void SmControl::traceNameIs(Pondo::String name) noexcept { traceName_ = std::move(name); }

bool operator==(const SmControl& a, const SmControl& b) noexcept {
  return a.scheduler_ == b.scheduler_ && a.qtHandle_ == b.qtHandle_ &&
         a.traceName_ == b.traceName_ && a.priority_ == b.priority_ &&
         a.synchronous_ == b.synchronous_;
}

}  // namespace Ostra
