// Velo/TaskScheduler.cpp — the per-priority run queue, the run itself and the yield policies.
#include "Velo/TaskScheduler.h"

#include <algorithm>
#include <bit>

#include "Pondo/Assert.h"
#include "Velo/Task.h"

namespace Velo {
namespace {

using Clock = std::chrono::steady_clock;

/// The time-slice policy reads the clock on check 1, 1 + k, 1 + 2k, ... of a run.
constexpr U64 clockReadInterval = 8;

constexpr U64 levelBit(TaskPriority p) noexcept { return U64{1} << (p & 63u); }

}  // namespace

TaskScheduler::~TaskScheduler() {
  PONDO_ASSERT_MSG(!running_, "the task scheduler is being destroyed during a run");
  PONDO_ASSERT_MSG(idle(), "the task scheduler is being destroyed with tasks scheduled");
}

void TaskScheduler::timeSliceIs(std::chrono::nanoseconds slice) noexcept {
  policy_ = Policy::timeSlice;
  slice_ = slice;
}

void TaskScheduler::yieldAfterChecksIs(U32 checks) noexcept {
  PONDO_ASSERT_MSG(checks >= 1, "a task can yield at the earliest on its first check");
  policy_ = Policy::everyNChecks;
  checksPerYield_ = checks;
}

bool TaskScheduler::runOne() {
  PONDO_ASSERT_MSG(!running_, "the task scheduler was run from inside a task run");
  Task* task = mostUrgent();
  if (!task) return false;
  PONDO_ASSERT_MSG(task->references() > 0, "a scheduled task is not owned through Pondo::Ptr");
  unlink(*task);
  // The task, and through it this scheduler, lives until the run is over, whatever the
  // subscriber released; nothing touches the scheduler after `keep` lets go.
  const Pondo::Ptr<Task> keep(task);
  beginRun(*task);
  task->publisher_.publishChangeRecursive(Task::runAttribute, nullptr, nullptr, nullptr);
  endRun();
  return true;
}

void TaskScheduler::beginRun(Task& task) noexcept {
  running_ = &task;
  checks_ = 0;
  sliceSpent_ = false;
  ++runs_;
  ++task.runs_;
  runStart_ = Clock::now();
}

void TaskScheduler::endRun() noexcept {
  const auto took = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - runStart_);
  longestRun_ = std::max(longestRun_, took);
  running_ = nullptr;
}

U64 TaskScheduler::runUntilIdle(U64 maxRuns) {
  U64 made = 0;
  while (made < maxRuns && runOne()) ++made;
  return made;
}

bool TaskScheduler::idle() const noexcept {
  return std::all_of(nonEmpty_.begin(), nonEmpty_.end(), [](U64 word) { return word == 0; });
}

void TaskScheduler::statisticsReset() noexcept {
  runs_ = 0;
  longestRun_ = std::chrono::nanoseconds{0};
}

void TaskScheduler::enqueue(Task& task) noexcept {
  PONDO_ASSERT_MSG(!task.scheduled_, "the task is already in the queue");
  Level& level = levels_[task.priority_];
  task.queuePrev_ = level.tail;
  task.queueNext_ = nullptr;
  (level.tail ? level.tail->queueNext_ : level.head) = &task;
  level.tail = &task;
  nonEmpty_[task.priority_ >> 6] |= levelBit(task.priority_);
  task.scheduled_ = true;
}

void TaskScheduler::unlink(Task& task) noexcept {
  PONDO_ASSERT_MSG(task.scheduled_, "the task is not in the queue");
  Level& level = levels_[task.priority_];
  (task.queuePrev_ ? task.queuePrev_->queueNext_ : level.head) = task.queueNext_;
  (task.queueNext_ ? task.queueNext_->queuePrev_ : level.tail) = task.queuePrev_;
  task.queuePrev_ = task.queueNext_ = nullptr;
  task.scheduled_ = false;
  if (!level.head) nonEmpty_[task.priority_ >> 6] &= ~levelBit(task.priority_);
}

Task* TaskScheduler::mostUrgent() const noexcept {
  for (unsigned word = nonEmpty_.size(); word-- > 0;) {
    const U64 bits = nonEmpty_[word];
    if (bits) return levels_[word * 64 + 63 - std::countl_zero(bits)].head;
  }
  return nullptr;
}

bool TaskScheduler::shouldYield(const Task& task) noexcept {
  if (running_ != &task) return true;  // work done outside the task's run belongs in a run
  ++checks_;
  if (policy_ == Policy::everyNChecks) return checks_ % checksPerYield_ == 0;
  if (sliceSpent_) return true;
  if ((checks_ - 1) % clockReadInterval != 0) return false;
  sliceSpent_ = Clock::now() - runStart_ >= slice_;
  return sliceSpent_;
}

Pondo::Ptr<TaskScheduler> TaskSchedulerRoot::findOrCreateScheduler() {
  static const Pondo::Ptr<TaskScheduler> root = Pondo::make<TaskScheduler>();
  return root;
}

}  // namespace Velo
