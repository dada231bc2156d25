// tests/platform/Pooly/SlabTest.cpp — allocation trackers: live counts kept by a type's
// operator new and delete, and the process's list of trackers that the daemon reports.
#include "Pooly/Slab.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

struct Tracked : Pooly::Slab<Tracked> {
  static inline Pooly::AllocTracker memAllocationTracker_{"Tracked"};
  U64 payload[3] = {};
};

struct Kept : Pooly::Slab<Kept> {
  static inline Pooly::AllocTracker memAllocationTracker_{"Kept"};
  U64 payload = 0;
};

bool listed(const Pooly::AllocTracker* tracker) {
  for (const Pooly::AllocTracker* t = Pooly::AllocTracker::first(); t; t = t->next()) {
    if (t == tracker) return true;
  }
  return false;
}

// A type's tracker joins the list at its first allocation, counts its live objects and bytes,
// and stays listed when they are all gone.
TEST(AllocTrackerTest, JoinsTheListAtItsFirstAllocation) {
  const Pooly::AllocTracker& tracker = Tracked::memAllocationTracker_;
  EXPECT_FALSE(listed(&tracker));
  Tracked* a = new Tracked;
  Tracked* b = new Tracked;
  EXPECT_TRUE(listed(&tracker));
  EXPECT_EQ(tracker.liveObjects, 2u);
  EXPECT_EQ(tracker.liveBytes, 2 * sizeof(Tracked));
  delete a;
  delete b;
  EXPECT_EQ(tracker.liveObjects, 0u);
  EXPECT_EQ(tracker.liveBytes, 0u);
  EXPECT_EQ(tracker.allocations, 2u);
  EXPECT_TRUE(listed(&tracker));
}

// A destroyed tracker (a plug-in's, when its library goes) leaves the list, from its head or
// from further down, and the others stay.
TEST(AllocTrackerTest, LeavesTheListWhenDestroyed) {
  delete new Kept;
  std::optional<Pooly::AllocTracker> older(std::in_place, "Older");
  std::optional<Pooly::AllocTracker> newer(std::in_place, "Newer");
  older->allocated(8);
  newer->allocated(8);
  const Pooly::AllocTracker* olderAt = &*older;
  const Pooly::AllocTracker* newerAt = &*newer;
  EXPECT_EQ(Pooly::AllocTracker::first(), newerAt);
  EXPECT_EQ(newerAt->next(), olderAt);

  older.reset();
  EXPECT_FALSE(listed(olderAt));
  EXPECT_TRUE(listed(newerAt));
  newer.reset();
  EXPECT_FALSE(listed(newerAt));
  EXPECT_TRUE(listed(&Kept::memAllocationTracker_));
}

}  // namespace
