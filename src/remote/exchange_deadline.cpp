#include "remote/exchange_deadline.h"

#include <system_error>
#include <utility>

namespace morvanix {
namespace {
constexpr std::chrono::seconds kStopRepeat{1};
}  // namespace

ExchangeDeadline::ExchangeDeadline(std::chrono::steady_clock::duration limit,
                                   std::function<void()> stop)
    : stop_(std::move(stop)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  try {
    watcher_ = std::thread([this, deadline] { Watch(deadline); });
  } catch (const std::system_error&) {
    // No thread to spare: the call keeps only its own per-step time-outs.
  }
}

ExchangeDeadline::~ExchangeDeadline() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    done_ = true;
  }
  finished_.notify_all();
  if (watcher_.joinable()) watcher_.join();
}

bool ExchangeDeadline::Expired() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return expired_;
}

void ExchangeDeadline::Watch(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (finished_.wait_until(lock, deadline, [this] { return done_; })) return;
  expired_ = true;
  do {
    // Outside the lock, so that the owner is never kept waiting by a slow stop.
    lock.unlock();
    stop_();
    lock.lock();
  } while (!finished_.wait_for(lock, kStopRepeat, [this] { return done_; }));
}

}  // namespace morvanix
