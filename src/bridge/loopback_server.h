#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>

#include "base/stop_token.h"
#include "bridge/accept_retry.h"
#include "bridge/listen_socket.h"
#include "http/server_hooks.h"

namespace morvanix {

namespace detail {
// Takes the place of the platform's accept, so that tests can make it fail.
using AcceptCall = std::function<AcceptedSocket(socket_t listener)>;
}  // namespace detail

// Descriptors each served connection may need: its own and one outbound to the remote server.
inline constexpr std::size_t kDescriptorsPerConnection = 2;
// Kept free of connections for the rest of the process: the listener, the event log, serial
// ports during a scan, standard streams and whatever the runtime holds.
inline constexpr std::size_t kDescriptorReserve = 64;

// The connections that may be served at once when the process may hold descriptorLimit
// descriptors: `wanted`, or fewer so that every connection and the reserve fit. At least one.
std::size_t ConnectionCapWithin(std::size_t wanted, std::size_t descriptorLimit);

struct LoopbackLimits {
  // Connections served at once, each on a thread of its own; further ones wait in the
  // kernel's accept queue (1024 deep). Well above what a browser opens, so that a few
  // hundred idle or trickling connections cannot keep a stop request out. Lowered at Serve
  // when the descriptor limit could not hold that many (ConnectionCapWithin).
  std::size_t maxConnections = 1024;
  std::size_t maxPayload = 64 * 1024;
  // Time a request has to arrive in full, head and any body, from the moment its connection
  // begins to wait for it; then the connection is closed, so a slot cannot be held by a
  // sender that trickles (each byte inside the per-read time-out) for as long as it likes.
  // Handlers and answers are not timed.
  std::chrono::milliseconds requestTime = std::chrono::seconds(10);
  AcceptRetryPolicy acceptRetry;
  // When the listener is lost, the endpoint is bound afresh: this many tries, this far apart,
  // the first after one wait. Serve fails when none succeeds.
  int rebindTries = 5;
  std::chrono::milliseconds rebindWait = std::chrono::seconds(1);
};

// The loopback HTTP endpoint: an httplib::Server set up so that every connection gets a
// thread of its own, every request arrives within a bounded time, the stop is noticed whenever
// it comes (even before the loop runs), the port is never shared with a second instance, and
// every answer is exactly what its handler set. Its own accept loop retries failed accepts and
// binds the endpoint again when the listener is lost.
class LoopbackServer {
 public:
  // `stop` ends the accept loop and every connection's wait for its next request.
  explicit LoopbackServer(StopToken stop, LoopbackLimits limits = {});
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;
  ~LoopbackServer();

  // Where routes are registered, before Serve.
  httplib::Server& Http() { return server_; }

  // Binds host:port (port 0 picks a free one) and returns the bound port, or -1.
  int Bind(const std::string& host, int port);

  // Accepts connections until the stop, then waits until every connection has ended.
  // Returns false when the listener was lost and the endpoint could not be bound again (or
  // nothing was bound).
  bool Serve();

  // Bind and Serve; returns at once with false when the bind fails.
  bool Listen(const std::string& host, int port);

  bool IsRunning() const { return running_.load(); }

  // Test seam: accepts go through `accept` instead of the platform's call.
  void UseAcceptCall(detail::AcceptCall accept) { accept_ = std::move(accept); }

 private:
  // The library's server; its per-connection loop is the one the accept loop runs.
  struct Library final : HookedServer {
    using HookedServer::ServeRequests;
  };

  // Binds host:port through the library and keeps the socket as listener_; -1 on failure.
  int BindLocked(const std::string& host, int port);
  void CloseListenerLocked();
  // Closes the lost listener and binds the endpoint again; false when every try failed.
  bool Rebind();
  // Serves one accepted connection to its end and closes it; no further request is read
  // once the stop comes.
  void ServeConnection(socket_t sock);

  const LoopbackLimits limits_;
  const StopToken stop_;
  Library server_;
  detail::AcceptCall accept_;
  // The port a Host header may name; read by connection threads without the lock.
  std::atomic<int> boundPort_{0};

  // Guards the listener and its address. The listener is closed only here, by whoever holds
  // the lock, and set to INVALID_SOCKET at once, so no descriptor number is ever closed twice.
  mutable std::mutex mutex_;
  socket_t listener_ = INVALID_SOCKET;
  std::string host_;
  int port_ = 0;
  std::atomic<bool> running_{false};
};

}  // namespace morvanix
