#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

#include "bridge/bridge_state.h"
#include "bridge/loopback_server.h"
#include "bridge/route_table.h"

namespace morvanix {

// Registers the agent's routes, each serving `agent`.
inline std::function<void(httplib::Server&)> RoutesOf(BridgeState& agent) {
  return [&agent](httplib::Server& server) { RegisterRoutes(server, RouteTable(agent)); };
}

// A loopback server serving on a free port of 127.0.0.1 for the length of a test, with a
// stop of its own.
class ServingLoopback {
 public:
  explicit ServingLoopback(const std::function<void(httplib::Server&)>& addRoutes,
                           morvanix::LoopbackLimits limits = {})
      : server_(stop_.Token(), limits) {
    addRoutes(server_.Http());
    port_ = server_.Bind("127.0.0.1", 0);
    if (port_ <= 0) return;
    serving_ = std::async(std::launch::async, [this] { return server_.Serve(); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!server_.IsRunning() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  ServingLoopback(const ServingLoopback&) = delete;
  ServingLoopback& operator=(const ServingLoopback&) = delete;
  ~ServingLoopback() {
    stop_.RequestStop();
    if (serving_.valid()) serving_.wait();
  }

  int Port() const { return port_; }
  morvanix::LoopbackServer& Server() { return server_; }

  // Stops the server; true when Serve has returned within the limit.
  bool StopAndWait(std::chrono::milliseconds limit) {
    stop_.RequestStop();
    return HasReturnedWithin(limit);
  }

  bool HasReturnedWithin(std::chrono::milliseconds limit) {
    return serving_.valid() && serving_.wait_for(limit) == std::future_status::ready;
  }

 private:
  morvanix::StopSource stop_;
  morvanix::LoopbackServer server_;
  int port_ = -1;
  std::future<bool> serving_;
};

// Blocks handlers until it is opened; counts who is waiting.
class Gate {
 public:
  void Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    ++waiting_;
    changed_.notify_all();
    changed_.wait_for(lock, std::chrono::seconds(20), [this] { return open_; });
    --waiting_;
  }

  void Open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }

  bool WaitForWaiters(int count, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return waiting_ >= count; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = false;
  int waiting_ = 0;
};

}  // namespace morvanix
