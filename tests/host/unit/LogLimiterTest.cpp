// LogLimiterTest.cpp — noisy lines are logged once per kind and interval, with the count held
// back, and a sender cannot make unbounded kinds.
#include "host/LogLimiter.h"

#include <gtest/gtest.h>
#include <syslog.h>

namespace {

using Host::LogLimiter;

// A kind is a line's first three words, numbers counting as any: its first line is logged at
// once, then one an interval saying how many were held back; past the limit, kinds share one.
TEST(LogLimiterTest, LogsOneLineOfAKindPerInterval) {
  std::vector<std::string> logged;
  LogLimiter limiter{std::chrono::seconds(60),
                     [&](int, std::string_view line) { logged.emplace_back(line); }};
  const auto record = [&](const std::string& line, int s) {
    limiter.record(LOG_WARNING, line + "\n",
                   LogLimiter::Clock::time_point{} + std::chrono::seconds(s));
  };
  for (const auto& [line, s] : {std::pair{"Authentication failed for alice", 0},
                                {"Authentication failed for bob", 1},
                                {"Bad PDU type received: 0x28", 2},
                                {"Bad PDU type received: 0x29", 3},
                                {"Authentication failed for carol", 30},
                                {"Authentication failed for dave", 61},
                                {"Authentication failed for erin", 62}}) {
    record(line, s);
  }
  EXPECT_EQ(logged, (std::vector<std::string>{
                        "Authentication failed for alice\n", "Bad PDU type received: 0x28\n",
                        "Authentication failed for dave (2 more like this held back)\n"}));
  for (std::size_t i = 0; i < 2 * LogLimiter::maxKinds; ++i) {
    record(std::string("unknown ") + char('a' + i % 26) + char('a' + i / 26) + " user", 100);
  }
  EXPECT_EQ(logged.size(), 3 + LogLimiter::maxKinds - 2) << "two kinds were met already";
}

}  // namespace
