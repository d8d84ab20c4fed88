#include "remote/connection_keeper.h"

#include <utility>

namespace morvanix {

ConnectionKeeper::ConnectionKeeper(SteadyClock::duration idleLimit)
    : idleLimit_(idleLimit), closer_([this](std::stop_token stop) { CloseWhenIdle(stop); }) {}

ConnectionKeeper::~ConnectionKeeper() {
  closer_.request_stop();
  closer_.join();
}

ConnectionKeeper& ConnectionKeeper::Process() {
  static ConnectionKeeper keeper;
  return keeper;
}

std::unique_ptr<RemoteConnection> ConnectionKeeper::Take(const std::string& host, int port) {
  std::unique_ptr<RemoteConnection> taken;
  {
    std::lock_guard<std::mutex> guard(lock_);
    taken = std::move(kept_);
  }
  if (taken == nullptr || taken->Host() != host || taken->Port() != port || !taken->IdleUsable()) {
    return nullptr;  // closed here, outside the lock
  }
  return taken;
}

void ConnectionKeeper::Keep(std::unique_ptr<RemoteConnection> connection) {
  std::unique_ptr<RemoteConnection> older;
  {
    std::lock_guard<std::mutex> guard(lock_);
    older = std::exchange(kept_, std::move(connection));
    closeAt_ = Deadline::After(idleLimit_);
  }
  changed_.notify_all();
}

void ConnectionKeeper::CloseWhenIdle(std::stop_token stop) {
  std::unique_lock<std::mutex> guard(lock_);
  while (!stop.stop_requested()) {
    if (kept_ == nullptr) {
      changed_.wait(guard, stop, [this] { return kept_ != nullptr; });
      continue;
    }
    const Deadline closeAt = closeAt_;
    if (changed_.wait_until(guard, stop, closeAt.When(),
                            [&] { return kept_ == nullptr || !(closeAt_ == closeAt); })) {
      continue;  // taken or kept afresh
    }
    if (closeAt_.Passed()) {
      std::unique_ptr<RemoteConnection> idle = std::move(kept_);
      guard.unlock();
      idle.reset();
      guard.lock();
    }
  }
}

}  // namespace morvanix
