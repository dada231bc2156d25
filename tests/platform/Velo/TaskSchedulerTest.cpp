// Run order, yield policies and lifetime rules of Velo::TaskScheduler and Velo::Task.
#include "Velo/TaskScheduler.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "Velo/Task.h"

namespace {

using Log = std::vector<std::string>;
using Velo::Task;
using Velo::TaskScheduler;

// Owns a task; each run logs its name, then does what `then` says.
struct Worker {
  Worker(const Pondo::Ptr<TaskScheduler>& s, Velo::TaskPriority p, std::string n, Log& log)
      : task(Pondo::make<Task>(s, p, Pondo::String(n))), name(std::move(n)), log(log) {
    task->publisher()->subscriberAdd(slot, false);
  }
  void onRun(const Pondo::Change&) {
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
  Pondo::Ptr<TaskScheduler> sched = Pondo::make<TaskScheduler>();
  Log log;
};

// Higher priorities run first, across all bitmap words; equals run FIFO; a priority change
// re-queues at the back of the new level, an unchanged one keeps the place.
TEST_F(TaskSchedulerTest, RunsByPriorityThenFifo) {
  Worker a(sched, 0, "a", log), b(sched, 64, "b", log), c(sched, 255, "c", log),
      d(sched, 64, "d", log), e(sched, 63, "e", log), f(sched, 128, "f", log),
      g(sched, 64, "g", log);
  schedule({&a, &b, &c, &d, &e, &f, &g});
  b.task->taskPriorityIs(64);
  d.task->taskPriorityIs(63);
  EXPECT_EQ(sched->runUntilIdle(), 7u);
  EXPECT_EQ(log, (Log{"c", "f", "b", "g", "e", "d", "a"}));
  EXPECT_TRUE(!sched->runOne() && !sched->runningTask());
}

// Every n-th check of the running task yields, afresh in each run, so a self-rescheduling scan
// works in exact chunks; a task not running is told to yield, uncounted. runUntilIdle stops at
// maxRuns; statistics count runs. A zero time slice yields at once, an hour's never.
TEST_F(TaskSchedulerTest, YieldPoliciesAndBoundedRuns) {
  sched->yieldAfterChecksIs(3);
  Worker scan(sched, 1, "scan", log), idle(sched, 1, "idle", log);
  Task& t = *scan.task;
  std::vector<int> chunks;
  Log patterns;
  scan.then = [&] {
    patterns.push_back(idle.yields(2));
    chunks.push_back(0);
    for (U64 next = t.taskWorkCount(); next < 10; ++next) {
      ++chunks.back();
      t.taskWorkCountInc(1);
      t.taskWorkPendingIs(9 - next);
      if (next == 9 || !t.taskShouldYield()) continue;
      return t.scheduleTask();
    }
  };
  schedule({&scan});
  EXPECT_TRUE(sched->runUntilIdle(2) == 2u && t.taskScheduled());
  EXPECT_EQ(sched->runUntilIdle(), 2u);
  EXPECT_EQ(std::tuple(chunks, patterns, scan.yields(3), t.taskWorkCount(), t.taskWorkPending(),
                       t.taskRuns(), sched->runs()),
            std::tuple(std::vector<int>{3, 3, 3, 1}, Log(4, "YY"), "YYY", 10u, 0u, 4u, 4u));
  sched->statisticsReset();
  EXPECT_TRUE(sched->runs() == 0u && sched->longestRun() == std::chrono::nanoseconds{0});
  idle.then = [&] { patterns.push_back(idle.yields(20)); };
  using std::chrono::nanoseconds;
  for (nanoseconds slice : {nanoseconds{0}, nanoseconds{std::chrono::hours{1}}}) {
    sched->timeSliceIs(slice);
    schedule({&idle});
    sched->runOne();
  }
  EXPECT_EQ(Log(patterns.begin() + 4, patterns.end()),
            (Log{std::string(20, 'Y'), std::string(20, '.')}));
}

// Tasks destroyed or unscheduled while waiting never run, also during a run or after it
// rescheduled itself; a subscriber may drop its own task's last reference during the run (later
// ones still hear it); queued tasks keep their scheduler alive, not the reverse.
TEST_F(TaskSchedulerTest, TaskLifetimes) {
  const U64 tasks = Task::memAllocationTracker_.liveObjects;
  const U64 schedulers = TaskScheduler::memAllocationTracker_.liveObjects;
  {
    Worker a(sched, 1, "a", log), b(sched, 1, "b", log), c(sched, 1, "c", log),
        d(sched, 1, "d", log), e(sched, 1, "e", log);
    Pondo::Subscriber late{
        &log, [](void* l, const Pondo::Change&) { static_cast<Log*>(l)->push_back("late"); }};
    a.task->publisher()->subscriberAdd(late, false);
    schedule({&a, &b, &c, &d, &e});
    b.task.reset();
    a.then = [&] {
      c.task->unscheduleTask();
      d.task.reset();
      schedule({&a});
      Task* raw = a.task.get();
      a.task.reset();
      EXPECT_TRUE(raw->taskCurrentlyRunning());
    };
    EXPECT_EQ(sched->runUntilIdle(), 2u);
    EXPECT_EQ(log, (Log{"a", "late", "e"}));
  }
  EXPECT_EQ(Task::memAllocationTracker_.liveObjects, tasks);
  auto lone = Pondo::make<Task>(sched, 2, "lone");
  lone->scheduleTask();
  sched.reset();
  EXPECT_EQ(lone->taskScheduler()->runUntilIdle(), 1u);
  lone.reset();
  EXPECT_EQ(Task::memAllocationTracker_.liveObjects, tasks);
  EXPECT_EQ(TaskScheduler::memAllocationTracker_.liveObjects, schedulers - 1);
}

// A task without a scheduler is never scheduled nor yields.
TEST(TaskTest, OrphanIsNeverScheduled) {
  auto t = Pondo::make<Task>(nullptr, 1, "orphan");
  t->scheduleTask();
  EXPECT_FALSE(t->taskScheduled() || t->taskShouldYield());
}

}  // namespace
