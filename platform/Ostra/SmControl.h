// Ostra/SmControl.h — how a state machine is to run: its scheduler, tracing and mode.
///
/// A plain value, copied into each machine it configures. The default runs nothing: no
/// scheduler, no trace handle, an empty trace name, priority 0 and the machine's own choice of
/// synchronous mode. Equality compares every field; the trace handle by address.
#pragma once

#include "Pondo/Ptr.h"
#include "Pondo/String.h"
#include "Pondo/Types.h"
#include "Strobe/TraceHandle.h"
#include "Velo/TaskPriority.h"
#include "Velo/TaskScheduler.h"

namespace Ostra {

class SmControl {
 public:
  /// Values of `synchronous()`; any other value leaves the choice to the machine.
  static constexpr U8 synchronousOn = 1;
  static constexpr U8 synchronousOff = 2;

  const Pondo::Ptr<Velo::TaskScheduler>& scheduler() const noexcept { return scheduler_; }
  void schedulerIs(Pondo::Ptr<Velo::TaskScheduler> scheduler) noexcept;

  /// Not owning: the handle outlives the machines that trace through it.
  Strobe::TraceHandle* qtHandle() const noexcept { return qtHandle_; }
  void qtHandleIs(Strobe::TraceHandle* handle) noexcept { qtHandle_ = handle; }

  const Pondo::String& traceName() const noexcept { return traceName_; }
  void traceNameIs(Pondo::String name) noexcept;

  Velo::TaskPriority priority() const noexcept { return priority_; }
  void priorityIs(Velo::TaskPriority priority) noexcept { priority_ = priority; }

  U8 synchronous() const noexcept { return synchronous_; }
  void synchronousIs(U8 mode) noexcept { synchronous_ = mode; }

  friend bool operator==(const SmControl& a, const SmControl& b) noexcept;

 private:
  Pondo::Ptr<Velo::TaskScheduler> scheduler_;
  Strobe::TraceHandle* qtHandle_ = nullptr;
  Pondo::String traceName_;
  Velo::TaskPriority priority_ = 0;
  U8 synchronous_ = 0;
};

}  // namespace Ostra
