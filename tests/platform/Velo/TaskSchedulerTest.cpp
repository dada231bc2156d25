// Run order, yield policies and lifetime rules of Velo::TaskScheduler and Velo::Task.
#include "Velo/TaskScheduler.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "Velo/Task.h"

namespace {

using Log = std::vector<std::string>;
using Velo::Task;
using Velo::TaskScheduler;

// Owns a task, checks it is the running one, logs its name, then does what `then` says.
struct Worker {
  Worker(const Pondo::Ptr<TaskScheduler>& s, Velo::TaskPriority p, std::string n, Log& log)
      : task(Pondo::make<Task>(s, p, Pondo::String(n))), name(std::move(n)), log(log) {
    task->publisher()->subscriberAdd(slot, false);
  }
  void onRun(const Pondo::Change& c) {
    EXPECT_EQ(c.attribute, Task::runAttribute);
    EXPECT_EQ(task->taskScheduler()->runningTask(), task.get());
    log.push_back(name);
    if (auto f = then) f();  // a copy: the handler may replace `then`
  }
  // The answers of `checks` yield checks, as '.' and 'Y'.
  std::string yields(int checks) const {
    std::string pattern;
    for (int i = 0; i < checks; ++i) pattern += task->taskShouldYield() ? 'Y' : '.';
    return pattern;
  }
  Pondo::Ptr<Task> task;
  std::string name;
  Log& log;
  std::function<void()> then;
  Pondo::Subscriber slot{this, Pondo::memberHandler<&Worker::onRun>};
};

class TaskSchedulerTest : public ::testing::Test {
 protected:
  static void schedule(std::initializer_list<Worker*> workers) {
    for (Worker* w : workers) w->task->scheduleTask();
  }
  void runOnce(Worker& w) {
    w.task->scheduleTask();
    sched->runOne();
  }
  Pondo::Ptr<TaskScheduler> sched = Pondo::make<TaskScheduler>();
  Log log;
};
using TaskTest = TaskSchedulerTest;

// Higher priorities run first, across all words of the priority bitmap; equals run FIFO.
TEST_F(TaskSchedulerTest, RunsByPriorityThenFifo) {
  Worker a(sched, 0, "a", log), b(sched, 64, "b", log), c(sched, 255, "c", log),
      d(sched, 64, "d", log), e(sched, 63, "e", log), f(sched, 128, "f", log);
  schedule({&a, &b, &c, &d, &e, &f});
  EXPECT_EQ(sched->runUntilIdle(), 6u);
  EXPECT_EQ(log, (Log{"c", "f", "b", "d", "e", "a"}));
  EXPECT_FALSE(sched->runOne());
  EXPECT_EQ(sched->runningTask(), nullptr);
}

// A task rescheduled during its run (twice: idempotent) goes behind its peers; a queued peer
// scheduled again keeps its place; a more urgent task scheduled during the run goes first.
TEST_F(TaskSchedulerTest, SchedulingDuringRun) {
  Worker a(sched, 1, "a", log), b(sched, 1, "b", log), c(sched, 1, "c", log),
      low(sched, 0, "low", log), hi(sched, 9, "hi", log);
  a.then = [&] {
    a.then = nullptr;
    schedule({&a, &a, &b, &hi});
  };
  schedule({&low, &a, &b, &c});
  EXPECT_EQ(sched->runUntilIdle(), 6u);
  EXPECT_EQ(log, (Log{"a", "hi", "b", "c", "a", "low"}));
}

// A priority change re-queues at the back of the new level; an unchanged one keeps the place.
TEST_F(TaskSchedulerTest, PriorityChangeRequeues) {
  Worker a(sched, 2, "a", log), b(sched, 2, "b", log), c(sched, 2, "c", log), d(sched, 2, "d", log);
  schedule({&a, &b, &c, &d});
  c.task->taskPriorityIs(5);
  a.task->taskPriorityIs(1);
  b.task->taskPriorityIs(2);
  sched->runUntilIdle();
  EXPECT_EQ(log, (Log{"c", "b", "d", "a"}));
}

// Every n-th check of the running task yields, counting afresh in each run; any task that is
// not running is told to yield, and its checks do not count.
TEST_F(TaskSchedulerTest, EveryNChecksYieldsExactly) {
  sched->yieldAfterChecksIs(3);
  Worker a(sched, 1, "a", log), b(sched, 1, "b", log);
  Log patterns;
  a.then = [&] { patterns.push_back(b.yields(2) + "|" + a.yields(7)); };
  runOnce(a);
  runOnce(a);
  EXPECT_EQ(patterns, (Log{"YY|..Y..Y.", "YY|..Y..Y."}));
  EXPECT_EQ(a.yields(3), "YYY");
}

// A scan that yields and resumes from its bookmark covers its items in exact chunks.
TEST_F(TaskSchedulerTest, ScanResumesFromBookmarkInChunks) {
  sched->yieldAfterChecksIs(3);
  Worker scan(sched, 1, "scan", log);
  std::vector<int> chunks;
  scan.then = [&] {
    chunks.push_back(0);
    for (U64 next = scan.task->taskWorkCount(); next < 10; ++next) {
      ++chunks.back();
      scan.task->taskWorkCountInc(1);
      scan.task->taskWorkPendingIs(9 - next);
      if (next == 9 || !scan.task->taskShouldYield()) continue;
      scan.task->scheduleTask();
      return;
    }
  };
  schedule({&scan});
  EXPECT_EQ(sched->runUntilIdle(), 4u);
  EXPECT_EQ(chunks, (std::vector<int>{3, 3, 3, 1}));
  EXPECT_EQ(scan.task->taskWorkCount(), 10u);
  EXPECT_EQ(scan.task->taskWorkPending(), 0u);
  EXPECT_EQ(scan.task->taskRuns(), 4u);
}

// A zero slice yields from the first check on; an hour's slice never yields.
TEST_F(TaskSchedulerTest, TimeSliceBounds) {
  Worker a(sched, 1, "a", log);
  Log patterns;
  a.then = [&] { patterns.push_back(a.yields(20)); };
  sched->timeSliceIs(std::chrono::nanoseconds{0});
  runOnce(a);
  sched->timeSliceIs(std::chrono::hours{1});
  runOnce(a);
  EXPECT_EQ(patterns, (Log{std::string(20, 'Y'), std::string(20, '.')}));
}

// runUntilIdle stops at maxRuns and reports the runs made; the statistics count them.
TEST_F(TaskSchedulerTest, RunUntilIdleHonoursMaxRuns) {
  Worker a(sched, 1, "a", log);
  a.then = [&] { schedule({&a}); };
  schedule({&a});
  EXPECT_EQ(sched->runUntilIdle(5), 5u);
  EXPECT_TRUE(a.task->taskScheduled());
  EXPECT_EQ(sched->runs(), 5u);
  sched->statisticsReset();
  EXPECT_EQ(sched->runs(), 0u);
  EXPECT_EQ(sched->longestRun(), std::chrono::nanoseconds{0});
}

// The process's scheduler is created once.
TEST(TaskSchedulerRootTest, SameSchedulerTwice) {
  const auto first = Velo::TaskSchedulerRoot::findOrCreateScheduler();
  EXPECT_TRUE(first);
  EXPECT_EQ(first, Velo::TaskSchedulerRoot::findOrCreateScheduler());
}

// A subscriber may drop the last reference to its task during the run; later subscribers
// still hear the run and the task is freed when the delivery ends.
TEST_F(TaskTest, LastReferenceDroppedDuringRun) {
  const U64 live = Task::memAllocationTracker_.liveObjects;
  Worker a(sched, 1, "a", log);
  Pondo::Subscriber late{
      &log, [](void* l, const Pondo::Change&) { static_cast<Log*>(l)->push_back("late"); }};
  a.task->publisher()->subscriberAdd(late, false);
  a.then = [&] {
    Task* raw = a.task.get();
    a.task.reset();
    EXPECT_TRUE(raw->taskCurrentlyRunning());
  };
  schedule({&a});
  EXPECT_TRUE(sched->runOne());
  EXPECT_EQ(log, (Log{"a", "late"}));
  EXPECT_EQ(Task::memAllocationTracker_.liveObjects, live);
}

// Tasks destroyed or unscheduled while waiting never run: before any run, during another's
// run, and after rescheduling themselves in their own run.
TEST_F(TaskTest, DroppedFromQueueNeverRuns) {
  Worker a(sched, 1, "a", log), b(sched, 1, "b", log), c(sched, 1, "c", log), d(sched, 1, "d", log),
      e(sched, 1, "e", log);
  schedule({&a, &b, &c, &d, &e});
  b.task.reset();
  a.then = [&] {
    c.task->unscheduleTask();
    d.task.reset();
    schedule({&a});
    a.task.reset();
  };
  EXPECT_EQ(sched->runUntilIdle(), 2u);
  EXPECT_EQ(log, (Log{"a", "e"}));
}

// Queued tasks keep their scheduler alive but not the reverse: releasing all frees all.
TEST_F(TaskTest, NoReferenceCycleThroughTheQueue) {
  const U64 tasks = Task::memAllocationTracker_.liveObjects;
  const U64 schedulers = TaskScheduler::memAllocationTracker_.liveObjects;
  auto a = Pondo::make<Task>(sched, 1, "a");
  auto b = Pondo::make<Task>(sched, 2, "b");
  a->scheduleTask();
  b->scheduleTask();
  sched.reset();
  a.reset();
  EXPECT_EQ(b->taskScheduler()->runUntilIdle(), 1u);
  b.reset();
  EXPECT_EQ(Task::memAllocationTracker_.liveObjects, tasks);
  EXPECT_EQ(TaskScheduler::memAllocationTracker_.liveObjects, schedulers - 1);
}

// A task without a scheduler is never scheduled and never yields.
TEST(TaskWithoutSchedulerTest, ScheduleDoesNothing) {
  auto t = Pondo::make<Task>(nullptr, 1, "orphan");
  t->scheduleTask();
  EXPECT_FALSE(t->taskScheduled());
  EXPECT_FALSE(t->taskShouldYield());
}

}  // namespace
