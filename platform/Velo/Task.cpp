// Velo/Task.cpp — scheduling requests of a task, forwarded to its scheduler's queue.
#include "Velo/Task.h"

#include "Pondo/Assert.h"

namespace Velo {

Task::Task(const Pondo::Ptr<TaskScheduler>& scheduler, TaskPriority priority,
           const Pondo::String& name)
    : scheduler_(scheduler), name_(name), priority_(priority) {}

Task::~Task() {
  PONDO_ASSERT_MSG(!taskCurrentlyRunning(), "a task is being destroyed during its own run");
  unscheduleTask();
}

void Task::scheduleTask() noexcept {
  if (!scheduler_ || scheduled_) return;
  scheduler_->enqueue(*this);
}

void Task::unscheduleTask() noexcept {
  if (!scheduled_) return;
  scheduler_->unlink(*this);
}

bool Task::taskShouldYield() const noexcept { return scheduler_ && scheduler_->shouldYield(*this); }

bool Task::taskCurrentlyRunning() const noexcept {
  return scheduler_ && scheduler_->runningTask() == this;
}

void Task::taskPriorityIs(TaskPriority priority) noexcept {
  if (priority == priority_) return;
  if (!scheduled_) {
    priority_ = priority;
    return;
  }
  scheduler_->unlink(*this);
  priority_ = priority;
  scheduler_->enqueue(*this);
}

}  // namespace Velo
