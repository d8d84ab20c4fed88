#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace morvanix {

// Bounds a blocking call from outside: when the limit passes before the owner is destroyed,
// a watcher thread calls stop, and again every second while the call goes on (a stop that
// falls between two steps of an exchange may find nothing to interrupt). Destroying the
// object ends the watch and waits for the watcher; stop is never called after that.
class ExchangeDeadline {
 public:
  ExchangeDeadline(std::chrono::steady_clock::duration limit, std::function<void()> stop);
  ExchangeDeadline(const ExchangeDeadline&) = delete;
  ExchangeDeadline& operator=(const ExchangeDeadline&) = delete;
  ~ExchangeDeadline();

  // True once the limit has passed while the call was still running.
  bool Expired() const;

 private:
  void Watch(std::chrono::steady_clock::time_point deadline);

  std::function<void()> stop_;
  mutable std::mutex mutex_;
  std::condition_variable finished_;
  bool done_ = false;
  bool expired_ = false;
  std::thread watcher_;
};

}  // namespace morvanix
