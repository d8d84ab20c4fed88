// One report per reason per interval, and a bounded memory of reasons.
#include "remote/report_limiter.h"

#include <gtest/gtest.h>

#include <string>

using morvanix::ReportLimiter;
using namespace std::chrono_literals;

namespace {

TEST(RemoteReportLimiter, LetsEachReasonThroughOncePerInterval) {
  ReportLimiter limiter(60s);
  const auto start = ReportLimiter::Clock::time_point{} + 1h;
  struct Step {
    const char* reason;
    std::chrono::seconds at;
    bool reported;
  };
  const Step steps[] = {
      {"expired", 0s, true},   {"expired", 1s, false},    {"unknown CA", 2s, true},
      {"expired", 59s, false}, {"expired", 60s, true},    {"unknown CA", 61s, false},
      {"expired", 61s, false}, {"unknown CA", 62s, true},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(std::string(step.reason) + " at " + std::to_string(step.at.count()));
    EXPECT_EQ(limiter.ShouldReport(step.reason, start + step.at), step.reported);
  }
}

TEST(RemoteReportLimiter, ForgetsTheOldestReasonBeyondItsBound) {
  ReportLimiter limiter(60s);
  const auto start = ReportLimiter::Clock::time_point{} + 1h;
  for (std::size_t i = 0; i <= ReportLimiter::kMaxReasons; ++i) {
    EXPECT_TRUE(
        limiter.ShouldReport("reason " + std::to_string(i), start + std::chrono::seconds(i)));
  }
  // "reason 0" was forgotten to make room; the newest is still remembered.
  const auto soon = start + std::chrono::seconds(ReportLimiter::kMaxReasons + 1);
  EXPECT_TRUE(limiter.ShouldReport("reason 0", soon));
  EXPECT_FALSE(limiter.ShouldReport("reason " + std::to_string(ReportLimiter::kMaxReasons), soon));
}

}  // namespace
