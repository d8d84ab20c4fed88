#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>

namespace morvanix {

// Lets one report through per reason per interval, so that a server failing every post the
// same way writes one line a minute, not one a post. Remembers at most kMaxReasons reasons;
// past that, the one reported longest ago is forgotten. Callable from any thread.
class ReportLimiter {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::size_t kMaxReasons = 32;

  explicit ReportLimiter(Clock::duration interval = std::chrono::minutes(1))
      : interval_(interval) {}

  // True when reason has not been let through within the interval before now; then it
  // counts as reported at now.
  bool ShouldReport(const std::string& reason, Clock::time_point now);

 private:
  Clock::duration interval_;
  std::mutex mutex_;
  std::map<std::string, Clock::time_point> lastReported_;
};

}  // namespace morvanix
