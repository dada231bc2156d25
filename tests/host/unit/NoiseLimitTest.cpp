// NoiseLimitTest.cpp — what keeps repeated events quiet along a timeline: drops rising, logs.
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <syslog.h>

#include "host/notifications/DropsRisingDetector.h"
#include "host/requests/LogLimiter.h"

namespace {

// A rise after a still period (5 s) is a start, reported outside the hold-down (60 s); a sweep
// each hold-down forgets rows still and out of it.
TEST(DropsRisingDetectorTest, ReportsStartsAfterStillPeriodsOutsideTheHoldDown) {
  const Host::DropsRisingDetector::Clock::time_point t0{};
  Host::DropsRisingDetector d(std::chrono::seconds(5), std::chrono::seconds(60), t0);
  std::string trace;  // "1" for a start reported, "0" for none; the counts where noted
  const auto rise = [&](U64 row, int ms, U64 before = 0, U64 after = 1) {
    trace += d.moved(row, before, after, t0 + std::chrono::milliseconds(ms)) ? "1" : "0";
  };
  const auto counts = [&] {
    trace += fmt::format(" {}/{}/{} ", d.reported(), d.heldDown(), d.rowsKept());
  };
  rise(1, 4900), rise(1, 9800), rise(2, 5000), rise(2, 6000), rise(2, 30000), rise(2, 65000),
      rise(1, 65000), rise(3, 65000, 10, 10), rise(3, 65000, 10, 0), rise(3, 65000), counts(),
      rise(4, 130000), counts(), rise(4, 131000), rise(2, 131000), rise(6, 150000), rise(6, 160000),
      rise(5, 191000), counts(), rise(6, 200000), counts();  // comma operators: in this order
  // Row 1 is still only 4.9 s, then rising; row 2 is still exactly 5 s, rising, held down,
  // then out of its hold-down; row 3 neither unchanged nor cleared. The sweep at 130 s keeps
  // only row 4, so row 2 is new; the one at 191 s keeps row 6, held down from 150 s to 210 s.
  EXPECT_EQ(trace, "0010011001 4/1/3 1 5/1/1 01101 8/2/2 0 8/3/2 ");
}

// A kind (three words) logs a line per interval with the count held back; past a limit, one kind.
TEST(LogLimiterTest, LogsOneLineOfAKindPerInterval) {
  std::vector<std::string> logged;
  Host::LogLimiter limiter{std::chrono::seconds(60),
                           [&](int, std::string_view line) { logged.emplace_back(line); }};
  const auto record = [&](const std::string& line, int s) {
    limiter.record(LOG_WARNING, line + "\n",
                   Host::LogLimiter::Clock::time_point{} + std::chrono::seconds(s));
  };
  record("Authentication failed for alice", 0), record("Authentication failed for bob", 1);
  record("Bad PDU type received: 0x28", 2), record("Bad PDU type received: 0x29", 3);
  record("Authentication failed for carol", 30), record("Authentication failed for dave", 61);
  record("Authentication failed for erin", 62);
  EXPECT_EQ(logged, (std::vector<std::string>{
                        "Authentication failed for alice\n", "Bad PDU type received: 0x28\n",
                        "Authentication failed for dave (2 more like this held back)\n"}));
  for (std::size_t i = 0; i < 2 * Host::LogLimiter::maxKinds; ++i)
    record(std::string("unknown ") + char('a' + i % 26) + char('a' + i / 26) + " user", 100);
  EXPECT_EQ(logged.size(), 3 + Host::LogLimiter::maxKinds - 2) << "two kinds were met already";
}

}  // namespace
