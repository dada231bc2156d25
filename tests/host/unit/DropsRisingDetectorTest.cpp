// DropsRisingDetectorTest.cpp — when a counter's rise is a start to report: after a still
// period, outside the hold-down, never for counters already rising at start-up.
#include "host/DropsRisingDetector.h"

#include <gtest/gtest.h>

namespace {

using Host::DropsRisingDetector;
using std::chrono::milliseconds;

// With a still period of 5 s and a hold-down of 60 s: rows never seen are still since start-up,
// a rise after a whole still period is a start, reported unless within the row's hold-down; an
// unchanged or cleared counter is no rise. Rows are swept once a hold-down period: those still
// and out of their hold-down are forgotten (and act as never seen), a held-down one is kept.
TEST(DropsRisingDetectorTest, ReportsStartsAfterStillPeriodsOutsideTheHoldDown) {
  const DropsRisingDetector::Clock::time_point t0{};
  DropsRisingDetector d(std::chrono::seconds(5), std::chrono::seconds(60), t0);
  const auto rise = [&](U64 key, int ms) { return d.moved(key, 0, 1, t0 + milliseconds(ms)); };
  EXPECT_FALSE(rise(1, 4900)) << "still only since start-up, not for a whole still period";
  EXPECT_FALSE(rise(1, 9800)) << "4.9 s since the last rise: still rising";
  EXPECT_TRUE(rise(2, 5000)) << "still since start-up for exactly the still period";
  EXPECT_FALSE(rise(2, 6000) || rise(2, 30000)) << "rising, then a start within the hold-down";
  EXPECT_TRUE(rise(2, 65000) && rise(1, 65000)) << "a start after the hold-down; rows apart";
  EXPECT_FALSE(d.moved(3, 10, 10, t0 + milliseconds(65000))) << "unchanged";
  EXPECT_FALSE(d.moved(3, 10, 0, t0 + milliseconds(65000))) << "cleared";
  EXPECT_TRUE(rise(3, 65000)) << "neither was a rise";
  EXPECT_EQ(d.reported(), 4u);
  EXPECT_EQ(d.heldDown(), 1u);
  EXPECT_EQ(d.rowsKept(), 3u);

  EXPECT_TRUE(rise(4, 130000));
  EXPECT_EQ(d.rowsKept(), 1u) << "the sweep at 130 s kept only the row rising now";
  EXPECT_FALSE(rise(4, 131000)) << "still rising";
  EXPECT_TRUE(rise(2, 131000)) << "a forgotten row is still and out of its hold-down";
  EXPECT_TRUE(rise(6, 150000));
  EXPECT_FALSE(rise(6, 160000)) << "held down";
  EXPECT_TRUE(rise(5, 191000));
  EXPECT_EQ(d.rowsKept(), 2u) << "the sweep at 191 s kept the held-down row";
  EXPECT_FALSE(rise(6, 200000)) << "its hold-down from 150 s still holds";
}

}  // namespace
