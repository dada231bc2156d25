// Velo/TaskScheduler.h — the cooperative scheduler that lets tasks do their work in steps.
///
/// Everything runs on the agent's one thread, between SNMP requests and change notifications.
/// `runOne()` picks the most urgent scheduled task and lets it do one step of work (see
/// `Velo::Task`); a long job is cut into runs that stop when `Task::taskShouldYield()` says so,
/// reschedule themselves and resume later from their own bookmark.
///
/// Queue: one intrusive first-in first-out list per priority and a bitmap of the non-empty
/// lists, so scheduling, unscheduling and picking the next task take constant time. The queue
/// does not own its tasks: a task destroyed while scheduled unlinks itself and never runs. The
/// scheduler holds a reference to a task only for the length of its run. Tasks hold a
/// reference to their scheduler; the scheduler never holds one to a task outside a run, so the
/// two never form a cycle.
///
/// Yield policies, asked through the running task's `taskShouldYield()`:
/// - time slice (the default, 1 ms): true once the run has lasted its slice. The steady clock
///   is read on the first check of a run and on every 8th one after it, and once true the
///   answer stays true for the rest of the run; a run overshoots by at most 7 checks of work.
/// - every n checks (deterministic, for tests): true on check n of a run, on check 2n, and so
///   on; counting restarts with every run.
/// A task that is not running is always told to yield: work found outside its run (a first
/// step made inline, say) should move into a run rather than hold the thread.
///
/// Re-entrancy: while a task runs, its subscriber may schedule, unschedule or reprioritise any
/// task, release the last reference to any task (its own included) and change the yield
/// policy. It may not run the scheduler itself: nested runs stop the process with an assertion.
/// Whoever calls `runOne()` or `runUntilIdle()` holds a reference to the scheduler meanwhile.
#pragma once

#include <array>
#include <chrono>

#include "Pondo/Node.h"
#include "Pondo/Ptr.h"
#include "Pondo/Types.h"
#include "Pooly/Slab.h"
#include "Velo/TaskPriority.h"

namespace Velo {

class Task;

class TaskScheduler : public Pondo::Node, public Pooly::Slab<TaskScheduler> {
 public:
  static inline Pooly::AllocTracker memAllocationTracker_{"Velo::TaskScheduler"};
  static constexpr std::chrono::nanoseconds defaultTimeSlice = std::chrono::milliseconds(1);

  TaskScheduler() = default;
  ~TaskScheduler() override;

  /// Selects the time-slice policy; a slice of zero or less yields on every check.
  void timeSliceIs(std::chrono::nanoseconds slice) noexcept;
  /// Selects the deterministic policy: yield on every `checks`-th check of a run (`checks` >= 1).
  void yieldAfterChecksIs(U32 checks) noexcept;

  /// Runs the most urgent scheduled task once; false when none is scheduled. Subscribers of a
  /// task do not throw (publication does not support it).
  bool runOne();
  /// Runs tasks until none is scheduled or `maxRuns` runs were made; returns the runs made.
  U64 runUntilIdle(U64 maxRuns = ~0ull);

  /// No task is scheduled (a task may still be running).
  bool idle() const noexcept;
  /// The task whose run is being delivered; null outside a run. Not owning.
  Task* runningTask() const noexcept { return running_; }

  /// Runs made and the longest single run since construction or the last reset.
  U64 runs() const noexcept { return runs_; }
  std::chrono::nanoseconds longestRun() const noexcept { return longestRun_; }
  void statisticsReset() noexcept;

 private:
  friend class Task;

  enum class Policy : U8 { timeSlice, everyNChecks };

  struct Level {
    Task* head = nullptr;
    Task* tail = nullptr;
  };

  /// Appends `task` (not scheduled) to the list of its priority.
  void enqueue(Task& task) noexcept;
  /// Takes `task` (scheduled) out of the list of its priority.
  void unlink(Task& task) noexcept;
  Task* mostUrgent() const noexcept;
  void beginRun(Task& task) noexcept;
  void endRun() noexcept;
  /// The yield decision for `task`; counts a check only when `task` is the running one.
  bool shouldYield(const Task& task) noexcept;

  std::array<Level, 256> levels_{};
  std::array<U64, 4> nonEmpty_{};  // bit p set: levels_[p] has a task
  Task* running_ = nullptr;

  Policy policy_ = Policy::timeSlice;
  std::chrono::nanoseconds slice_ = defaultTimeSlice;
  U32 checksPerYield_ = 1;

  // The current run.
  std::chrono::steady_clock::time_point runStart_{};
  U64 checks_ = 0;
  bool sliceSpent_ = false;

  U64 runs_ = 0;
  std::chrono::nanoseconds longestRun_{0};
};

struct TaskSchedulerRoot {
  /// The process's scheduler, created on first use and kept until the process ends.
  static Pondo::Ptr<TaskScheduler> findOrCreateScheduler();
};

}  // namespace Velo
