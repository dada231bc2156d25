// LogLimiterTest.cpp — noisy lines are logged once per kind and interval, with the count held
// back, and a sender cannot make unbounded kinds.
#include "host/LogLimiter.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <string>
#include <vector>

namespace HostTest {
namespace {

using Host::LogLimiter;
using std::chrono::seconds;

class LogLimiterTest : public ::testing::Test {
 protected:
  void record(const std::string& line, int atSeconds) {
    limiter_.record(LOG_WARNING, line, LogLimiter::Clock::time_point{} + seconds(atSeconds));
  }

  std::vector<std::string> logged_;
  LogLimiter limiter_{seconds(60), [this](int, std::string_view line) { logged_.emplace_back(line); }};
};

TEST_F(LogLimiterTest, LogsTheFirstOfAKindThenOnePerIntervalWithTheCountHeldBack) {
  record("Authentication failed for alice\n", 0);
  record("Authentication failed for bob\n", 1);
  record("Bad PDU type received: 0x28\n", 2);
  record("Bad PDU type received: 0x29\n", 3);  // differs in a number only
  record("Authentication failed for carol\n", 30);
  record("Authentication failed for dave\n", 61);
  record("Authentication failed for erin\n", 62);
  EXPECT_EQ(logged_, (std::vector<std::string>{
                         "Authentication failed for alice\n",
                         "Bad PDU type received: 0x28\n",
                         "Authentication failed for dave (2 more like this held back)\n",
                     }));
}

TEST_F(LogLimiterTest, KindsPastTheLimitShareOne) {
  for (std::size_t i = 0; i < 2 * LogLimiter::maxKinds; ++i) {
    record(std::string("unknown ") + char('a' + i % 26) + char('a' + i / 26) + " user\n", 0);
  }
  EXPECT_EQ(logged_.size(), LogLimiter::maxKinds);
}

}  // namespace
}  // namespace HostTest
