// Velo::Job: its runs, and the bookmark rules of its walks over a map that changes between runs.
#include "Velo/Job.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

namespace {

using Keys = std::vector<int>;

/// A walk over a std::map, resumed with `lower_bound` (the first key at or after the bookmark).
struct Cursor {
  const std::map<int, int>* map;
  std::map<int, int>::const_iterator at;
  bool atEnd() const { return at == map->end(); }
  int key() const { return at->first; }
  Cursor& operator++() { return ++at, *this; }
};

/// Visits `map` in runs, yielding every `every`-th check, refusing `refuse` once; one step a run.
struct Walker {
  void step() {
    Cursor from{&map, bookmark ? map.lower_bound(*bookmark) : map.begin()};
    auto walked = job.walk(from, [this](const Cursor& c) {
      if (c.key() == refuse) return refuse = 0, false;
      return visited.push_back(c.key()), true;
    });
    bookmark = walked.bookmark;
    if (!walked.finished()) job.yieldAfter(walked.visited);
  }
  std::map<int, int> map{{10, 0}, {20, 0}, {30, 0}, {40, 0}, {50, 0}};
  std::optional<int> bookmark;
  int refuse = 0;
  Keys visited;
  Velo::Job job{this, Velo::memberStep<&Walker::step>};
};

class JobTest : public ::testing::Test {
 protected:
  JobTest() {
    sched_->yieldAfterChecksIs(2);
    EXPECT_TRUE(w_.job.taskIs(sched_, 1, Pondo::String("walk")));
  }
  Pondo::Ptr<Velo::TaskScheduler> sched_ = Pondo::make<Velo::TaskScheduler>();
  Walker w_;
};

// A yield bookmarks the next key; the bookmarked key gone, the walk goes on at its successor;
// a key inserted behind the bookmark is not visited, one ahead of it is; a refused key is the
// bookmark and is visited on resumption.
TEST_F(JobTest, WalkResumesAtOrAfterBookmark) {
  w_.job.schedule();
  ASSERT_TRUE(sched_->runOne());
  EXPECT_EQ(std::pair(w_.visited, w_.bookmark), std::pair(Keys{10, 20}, std::optional(30)));
  w_.map.erase(30);
  w_.map[15] = w_.map[45] = 0;
  w_.refuse = 45;
  ASSERT_TRUE(sched_->runOne());
  EXPECT_EQ(std::pair(w_.visited, w_.bookmark), std::pair(Keys{10, 20, 40}, std::optional(45)));
  EXPECT_EQ(sched_->runUntilIdle(), 1u);
  EXPECT_EQ(std::pair(w_.visited, w_.bookmark),
            std::pair(Keys{10, 20, 40, 45, 50}, std::optional<int>()));
  EXPECT_EQ(w_.job.task()->taskWorkCount(), 3u) << "only runs that yielded count their work";
}

// Runs reach the step only while listening; a task of the same scheduler and name is kept (its
// priority set), another name makes a new one; cancelling drops the pending run.
TEST_F(JobTest, ListeningKeepingAndCancelling) {
  const Pondo::Ptr<Velo::Task> first = w_.job.task();
  EXPECT_TRUE(!w_.job.taskIs(sched_, 7, Pondo::String("walk")) && first->taskPriority() == 7);
  w_.job.listeningIs(false);
  w_.job.schedule();
  sched_->runUntilIdle();
  w_.job.listeningIs(true);
  w_.job.schedule();
  w_.job.cancel();
  EXPECT_TRUE(sched_->idle() && w_.visited.empty());
  EXPECT_TRUE(w_.job.taskIs(sched_, 7, Pondo::String("other")) && w_.job.task() != first);
}

}  // namespace
