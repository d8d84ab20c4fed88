#include "bridge/request_deadlines.h"

#include <algorithm>
#include <system_error>
#include <utility>

namespace morvanix {

RequestDeadlines::RequestDeadlines(std::function<void(socket_t)> cut) : cut_(std::move(cut)) {}

RequestDeadlines::~RequestDeadlines() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ending_ = true;
  }
  changed_.notify_all();
  if (watcher_.joinable()) watcher_.join();
}

void RequestDeadlines::Start(socket_t sock, Clock::time_point deadline) {
  std::lock_guard<std::mutex> lock(mutex_);
  watches_[sock] = Watch{deadline};
  if (!watcher_.joinable() && !ending_) {
    try {
      watcher_ = std::thread([this] { Run(); });
    } catch (const std::system_error&) {
      // No thread to spare: a late request is still refused at its next read, which waits
      // no longer than the server's read time-out.
    }
  }
  if (deadline < sleepingUntil_) changed_.notify_all();
}

void RequestDeadlines::Finish(socket_t sock) {
  std::lock_guard<std::mutex> lock(mutex_);
  watches_.erase(sock);
}

bool RequestDeadlines::BeginRead(socket_t sock) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = watches_.find(sock);
  if (found == watches_.end()) return true;
  Watch& watch = found->second;
  if (!watch.expired && Clock::now() >= watch.deadline) watch.expired = true;
  if (watch.expired) return false;
  watch.reading = true;
  return true;
}

void RequestDeadlines::EndRead(socket_t sock) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = watches_.find(sock);
  if (found != watches_.end()) found->second.reading = false;
}

void RequestDeadlines::ExpireAll() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& [sock, watch] : watches_) {
    if (!watch.expired) ExpireLocked(sock, watch);
  }
}

void RequestDeadlines::ExpireLocked(socket_t sock, Watch& watch) {
  watch.expired = true;
  // Under the lock, so that Finish cannot return (and the socket be closed) meanwhile.
  if (watch.reading) cut_(sock);
}

void RequestDeadlines::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!ending_) {
    const auto now = Clock::now();
    auto next = Clock::time_point::max();
    for (auto& [sock, watch] : watches_) {
      if (watch.expired) continue;
      if (watch.deadline <= now) {
        ExpireLocked(sock, watch);
      } else {
        next = std::min(next, watch.deadline);
      }
    }
    sleepingUntil_ = next;
    if (next == Clock::time_point::max()) {
      changed_.wait(lock);
    } else {
      changed_.wait_until(lock, next);
    }
  }
}

}  // namespace morvanix
