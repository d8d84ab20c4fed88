#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>

#include "bridge/request_bound_server.h"

namespace morvanix {

struct LoopbackLimits {
  // Connections served at once, each on a thread of its own; further ones wait in the
  // kernel's accept queue (1024 deep). Well above what a browser opens, so that a few
  // hundred idle or trickling connections cannot keep a stop request out.
  std::size_t maxConnections = 1024;
  std::size_t maxPayload = 64 * 1024;
  // Time a request has to arrive in full, head and any body, from the moment its connection
  // begins to wait for it; then the connection is closed, so a slot cannot be held by a
  // sender that trickles.
  std::chrono::milliseconds requestTime = std::chrono::seconds(10);
};

// The loopback HTTP endpoint: an httplib::Server set up so that every connection gets a
// thread of its own, every request arrives within a bounded time, a stop is noticed whenever it
// comes (even before the loop runs), the port is never shared with a second instance, and every
// answer is exactly what its handler set.
class LoopbackServer {
 public:
  explicit LoopbackServer(LoopbackLimits limits = {});
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;
  ~LoopbackServer();

  // Where routes are registered, before Serve.
  httplib::Server& Http() { return server_; }

  // Binds host:port (port 0 picks a free one) and returns the bound port, or -1.
  int Bind(const std::string& host, int port);

  // Accepts connections until stopped, then waits until every connection has ended.
  // Returns false when the accept loop failed.
  bool Serve();

  // Bind and Serve; returns at once with false when the bind fails.
  bool Listen(const std::string& host, int port);

  bool IsRunning() const { return server_.is_running(); }

  // Ends the accept loop; a stop that comes before the loop runs is kept and ends it as
  // soon as it starts. Callable from any thread.
  void Stop();

  // Forgets a kept stop, so that the server can serve again.
  void ClearStopRequest();

  // True from a stop until ClearStopRequest: long work on a connection ends early on it.
  bool StopRequested() const;

 private:
  class ServingQueue;
  friend class ServingQueue;

  void OnLoopStart();
  void OnLoopTick();
  void OnLoopEnd();
  void IssueStopLocked();

  LoopbackLimits limits_;
  RequestBoundServer server_;
  std::atomic<socket_t> boundSocket_{INVALID_SOCKET};
  // Bound but not yet handed to the accept loop, which closes the socket when it ends.
  std::atomic<bool> boundUnserved_{false};
  // The port a Host header may name.
  std::atomic<int> boundPort_{0};

  mutable std::mutex stopMutex_;
  bool stopRequested_ = false;
  bool loopActive_ = false;
  bool stopIssued_ = false;
};

}  // namespace morvanix
