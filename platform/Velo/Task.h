// Velo/Task.h — one cooperative job of the scheduler: a publisher that is told when to work.
///
/// The owner of a task subscribes to `publisher()`. When the scheduler runs the task it
/// publishes a change with attribute `runAttribute` (no key, no previous value); the owner does
/// one step of work in its handler and returns. A long scan looks like this:
///
///     void Scan::onRun(const Pondo::Change&) {
///       for (auto it = rows_.upperBound(bookmark_); it != rows_.end(); ++it) {
///         process(*it); bookmark_ = it->key(); task_->taskWorkCountInc(1);
///         if (task_->taskShouldYield()) { task_->scheduleTask(); return; }
///       }
///     }
///
/// Re-entrancy rules, during the task's own run notification:
/// - The subscriber may schedule the task again (it runs again after the tasks already
///   scheduled at its priority), unschedule it, change its priority, and schedule, unschedule
///   or destroy other tasks.
/// - The subscriber may release the last outside reference to the task: the scheduler keeps
///   the task alive until the delivery returns, then it is destroyed (unscheduled if needed).
/// - A yield keeps nothing but the task's place in the queue: the bookmark to resume from is
///   the owner's state, and the next run starts with a fresh slice and check count.
///
/// Ownership: tasks are owned through `Pondo::Ptr`. Scheduling does not keep a task alive; a
/// task destroyed while scheduled simply leaves the queue. A task holds a reference to its
/// scheduler. A task may be built without a scheduler (null): it is then never scheduled and
/// never runs, and `scheduleTask()` does nothing.
#pragma once

#include "Pondo/Node.h"
#include "Pondo/Ptr.h"
#include "Pondo/Publisher.h"
#include "Pondo/String.h"
#include "Pondo/Types.h"
#include "Pooly/Slab.h"
#include "Velo/TaskPriority.h"
#include "Velo/TaskScheduler.h"

namespace Velo {

class Task : public Pondo::Node, public Pooly::Slab<Task> {
 public:
  static inline Pooly::AllocTracker memAllocationTracker_{"Velo::Task"};
  /// The attribute number of the change that starts a run.
  static constexpr U16 runAttribute = 131;

  Task(const Pondo::Ptr<TaskScheduler>& scheduler, TaskPriority priority,
       const Pondo::String& name);
  /// Unschedules the task. A task is never destroyed during its own run.
  ~Task() override;

  Pondo::Publisher* publisher() const override { return &publisher_; }

  /// Asks for one more run later and returns at once; does nothing while already scheduled,
  /// or without a scheduler. Allowed during the task's own run.
  void scheduleTask() noexcept;
  /// Drops the pending run; does nothing when not scheduled.
  void unscheduleTask() noexcept;
  bool taskScheduled() const noexcept { return scheduled_; }

  /// Whether the current run should end now, per the scheduler's policy. Outside the task's
  /// own run it is true (the work should move into a run), except for a task without a
  /// scheduler, which never runs and never yields. Each call while running counts as a check.
  bool taskShouldYield() const noexcept;
  bool taskCurrentlyRunning() const noexcept;

  /// Items processed, cumulative over all runs.
  void taskWorkCountInc(U64 n) noexcept { workCount_ += n; }
  U64 taskWorkCount() const noexcept { return workCount_; }
  /// Items known to be waiting, as the owner last estimated them.
  void taskWorkPendingIs(U64 n) noexcept { workPending_ = n; }
  U64 taskWorkPending() const noexcept { return workPending_; }

  const Pondo::Ptr<TaskScheduler>& taskScheduler() const noexcept { return scheduler_; }
  const Pondo::String& taskName() const noexcept { return name_; }
  TaskPriority taskPriority() const noexcept { return priority_; }
  /// A scheduled task moves to the back of its new priority's queue; setting the priority it
  /// already has keeps its place.
  void taskPriorityIs(TaskPriority priority) noexcept;
  /// Runs started, counting the one in progress.
  U64 taskRuns() const noexcept { return runs_; }

 private:
  friend class TaskScheduler;

  Pondo::Ptr<TaskScheduler> scheduler_;  // may be null
  Pondo::String name_;
  mutable Pondo::Publisher publisher_;
  Task* queuePrev_ = nullptr;  // links in the scheduler's list of `priority_`, while scheduled
  Task* queueNext_ = nullptr;
  U64 runs_ = 0;
  U64 workCount_ = 0;
  U64 workPending_ = 0;
  TaskPriority priority_;
  bool scheduled_ = false;
};

}  // namespace Velo
