#include "remote/report_limiter.h"

#include <algorithm>

namespace morvanix {

bool ReportLimiter::ShouldReport(const std::string& reason, Clock::time_point now) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = lastReported_.find(reason);
  if (found != lastReported_.end()) {
    if (now - found->second < interval_) return false;
    found->second = now;
    return true;
  }
  if (lastReported_.size() >= kMaxReasons) {
    lastReported_.erase(std::min_element(
        lastReported_.begin(), lastReported_.end(),
        [](const auto& left, const auto& right) { return left.second < right.second; }));
  }
  lastReported_.emplace(reason, now);
  return true;
}

}  // namespace morvanix
