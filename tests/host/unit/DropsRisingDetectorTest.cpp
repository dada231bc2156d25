// DropsRisingDetectorTest.cpp — when a counter's rise is a start to report: after a still
// period, outside the hold-down, never for counters already rising at start-up.
#include "host/DropsRisingDetector.h"

#include <gtest/gtest.h>

#include <map>

namespace HostTest {
namespace {

using Host::DropsRisingDetector;
using std::chrono::seconds;
using Time = DropsRisingDetector::Clock::time_point;

const Time t0{};

class DropsRisingDetectorTest : public ::testing::Test {
 protected:
  /// Row `key` gains one drop at `at` seconds.
  bool rise(U64 key, double at) {
    const U64 before = drops_[key];
    drops_[key] = before + 1;
    return detector_.moved(key, before, before + 1,
                           t0 + std::chrono::duration_cast<DropsRisingDetector::Clock::duration>(
                                    std::chrono::duration<double>(at)));
  }

  DropsRisingDetector detector_{seconds(5), seconds(60), t0};
  std::map<U64, U64> drops_;
};

TEST_F(DropsRisingDetectorTest, ReportsARiseAfterAStillSpellOnce) {
  EXPECT_FALSE(rise(1, 4.9)) << "still only since start-up, not for a whole still period";
  EXPECT_FALSE(rise(1, 9.8)) << "4.9 s since the last rise: still rising";
  EXPECT_TRUE(rise(2, 5.0)) << "still since start-up for exactly the still period";
  EXPECT_FALSE(rise(2, 6.0));
  EXPECT_FALSE(rise(2, 30.0)) << "a new start within the hold-down";
  EXPECT_TRUE(rise(2, 65.0)) << "a new start after the hold-down";
  EXPECT_TRUE(rise(1, 20.0)) << "rows are independent";
  EXPECT_EQ(detector_.reported(), 3u);
  EXPECT_EQ(detector_.heldDown(), 1u);
}

TEST_F(DropsRisingDetectorTest, OnlyIncreasesAreRises) {
  EXPECT_FALSE(detector_.moved(1, 10, 10, t0 + seconds(10))) << "unchanged";
  EXPECT_FALSE(detector_.moved(1, 10, 0, t0 + seconds(10))) << "cleared";
  EXPECT_TRUE(detector_.moved(1, 0, 3, t0 + seconds(10))) << "neither counted as a rise";
}

// State is swept once a hold-down period: rows still and out of their hold-down are forgotten
// and then act as never seen; a row still held down keeps its hold-down.
TEST_F(DropsRisingDetectorTest, SweepsQuietRowsWithoutChangingDecisions) {
  for (U64 key = 0; key < 100; ++key) EXPECT_TRUE(rise(key, 10.0));
  EXPECT_FALSE(rise(0, 12.0));
  EXPECT_EQ(detector_.rowsKept(), 100u);

  EXPECT_TRUE(rise(1, 75.0));
  EXPECT_EQ(detector_.rowsKept(), 1u) << "the sweep at 75 s kept only the row rising now";
  EXPECT_FALSE(rise(1, 76.0)) << "still rising";
  EXPECT_TRUE(rise(2, 76.0)) << "a forgotten row is still and out of its hold-down";

  EXPECT_TRUE(rise(4, 100.0));
  EXPECT_FALSE(rise(4, 110.0)) << "held down";
  EXPECT_TRUE(rise(5, 136.0));
  EXPECT_EQ(detector_.rowsKept(), 2u) << "the sweep at 136 s kept the held-down row";
  EXPECT_FALSE(rise(4, 150.0)) << "its hold-down from 100 s still holds";
}

}  // namespace
}  // namespace HostTest
