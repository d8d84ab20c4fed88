#include "bridge/series_poster.h"

#include <utility>

#include "base/debug_output.h"

namespace morvanix {

SeriesPoster::SeriesPoster(Post post, StopToken stop, std::size_t bound)
    : post_(std::move(post)), stop_(std::move(stop)), bound_(bound == 0 ? 1 : bound) {
  poster_ = std::thread([this] { PostInOrder(); });
}

SeriesPoster::~SeriesPoster() {
  Finish();
}

bool SeriesPoster::Add(std::string result) {
  std::unique_lock<std::mutex> guard(lock_);
  changed_.wait(guard, stop_.Std(), [this] { return queued_.size() < bound_; });
  // At the stop the poster gives up what is queued: nothing more may join it.
  if (stop_.StopRequested()) return false;
  queued_.push_back(std::move(result));
  changed_.notify_all();
  return true;
}

std::size_t SeriesPoster::Finish() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    finishing_ = true;
  }
  changed_.notify_all();
  if (poster_.joinable()) poster_.join();
  return givenUp_;
}

void SeriesPoster::PostInOrder() {
  std::unique_lock<std::mutex> guard(lock_);
  for (;;) {
    changed_.wait(guard, stop_.Std(), [this] { return !queued_.empty() || finishing_; });
    if (stop_.StopRequested() || queued_.empty()) break;
    std::string result = std::move(queued_.front());
    queued_.pop_front();
    changed_.notify_all();  // room for the series
    guard.unlock();
    post_(result);
    guard.lock();
  }
  if (!queued_.empty()) {
    givenUp_ = queued_.size();
    queued_.clear();
    const std::string line = "morvanix: stopping; " + std::to_string(givenUp_) +
                             " results of a series given up unposted";
    DebugOutput(line.c_str());
  }
}

}  // namespace morvanix
