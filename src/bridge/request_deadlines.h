#pragma once

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace morvanix {

// Deadlines for requests still arriving on the loopback endpoint's connections. A read is
// refused once its request's deadline has passed, and a read under way at that moment is
// ended from outside by `cut`, which must wake it (shutting the socket's reading side does).
// One watcher thread serves every connection; it starts with the first request and sleeps
// while no deadline is pending.
class RequestDeadlines {
 public:
  using Clock = std::chrono::steady_clock;

  explicit RequestDeadlines(std::function<void(socket_t)> cut);
  RequestDeadlines(const RequestDeadlines&) = delete;
  RequestDeadlines& operator=(const RequestDeadlines&) = delete;
  ~RequestDeadlines();

  // The next request on sock must have arrived by deadline.
  void Start(socket_t sock, Clock::time_point deadline);

  // Ends the watch on sock. Once this returns, cut is neither running for sock nor called
  // for it again, so the socket may be closed.
  void Finish(socket_t sock);

  // Around every read of a request. BeginRead returns false, and no read may be made, once
  // the request's deadline has passed.
  bool BeginRead(socket_t sock);
  void EndRead(socket_t sock);

  // Every watched request expires now, reads under way are cut: a stop waits for no request.
  void ExpireAll();

 private:
  struct Watch {
    Clock::time_point deadline;
    bool reading = false;
    bool expired = false;
  };

  void Run();
  void ExpireLocked(socket_t sock, Watch& watch);

  std::function<void(socket_t)> cut_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::unordered_map<socket_t, Watch> watches_;
  // The watcher's next wake-up; an earlier deadline has to wake it.
  Clock::time_point sleepingUntil_ = Clock::time_point::max();
  bool ending_ = false;
  std::thread watcher_;
};

}  // namespace morvanix
