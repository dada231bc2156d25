// Pooly/SlabTest.cpp — allocation trackers: live counts kept by a type's operator new and
// delete, and the process's list of trackers that the daemon reports.
#include "Pooly/Slab.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

struct Tracked : Pooly::Slab<Tracked> {
  static inline Pooly::AllocTracker memAllocationTracker_{"Tracked"};
  U64 payload[3] = {};
};

bool listed(const Pooly::AllocTracker* tracker) {
  for (const Pooly::AllocTracker* t = Pooly::AllocTracker::first(); t; t = t->next()) {
    if (t == tracker) return true;
  }
  return false;
}

// A type's tracker joins the list (at its head) at its first allocation, counts live objects
// and bytes, and stays listed when they are all gone; a destroyed tracker (a plug-in's, when
// its library goes) leaves the list, from its head or further down, and the others stay.
TEST(AllocTrackerTest, CountsAndListMembership) {
  const Pooly::AllocTracker& tracker = Tracked::memAllocationTracker_;
  std::optional<Pooly::AllocTracker> older(std::in_place, "Older");
  older->allocated(8);
  EXPECT_FALSE(listed(&tracker));
  Tracked* a = new Tracked;
  Tracked* b = new Tracked;
  EXPECT_EQ(Pooly::AllocTracker::first(), &tracker);
  EXPECT_EQ(tracker.next(), &*older);
  EXPECT_TRUE(tracker.liveObjects == 2u && tracker.liveBytes == 2 * sizeof(Tracked));
  delete a;
  delete b;
  EXPECT_TRUE(tracker.liveObjects == 0u && tracker.liveBytes == 0u && tracker.allocations == 2u);
  std::optional<Pooly::AllocTracker> newer(std::in_place, "Newer");
  newer->allocated(8);
  const Pooly::AllocTracker* olderAt = &*older;
  const Pooly::AllocTracker* newerAt = &*newer;
  older.reset();
  EXPECT_FALSE(listed(olderAt));
  EXPECT_TRUE(listed(newerAt) && listed(&tracker));
  newer.reset();
  EXPECT_FALSE(listed(newerAt));
  EXPECT_TRUE(listed(&tracker));
}

}  // namespace
