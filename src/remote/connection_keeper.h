#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "base/deadline.h"
#include "remote/remote_connection.h"

namespace morvanix {

// Keeps the one connection to the remote server open between posts, and closes it once it
// has been idle for idleLimit: below common servers' keep-alive time-outs (5 s is usual), so
// that the agent, not the server, ends an idle connection. While nothing is kept, its
// closing thread waits without a deadline and costs no wake-up.
class ConnectionKeeper {
 public:
  static constexpr SteadyClock::duration kIdleLimit = std::chrono::seconds(3);

  explicit ConnectionKeeper(SteadyClock::duration idleLimit = kIdleLimit);
  ~ConnectionKeeper();
  ConnectionKeeper(const ConnectionKeeper&) = delete;
  ConnectionKeeper& operator=(const ConnectionKeeper&) = delete;

  // The process's own, for every post.
  static ConnectionKeeper& Process();

  // The kept connection to host:port, when it can carry another request (the server has not
  // closed it, nothing unasked arrived); nullptr otherwise, the stale one closed. Each post
  // takes it for itself: two posts at once never share one.
  std::unique_ptr<RemoteConnection> Take(const std::string& host, int port);

  // Keeps a connection that carried a post to its end; the one kept before is closed.
  void Keep(std::unique_ptr<RemoteConnection> connection);

 private:
  void CloseWhenIdle(std::stop_token stop);

  const SteadyClock::duration idleLimit_;
  std::mutex lock_;
  std::condition_variable_any changed_;
  std::unique_ptr<RemoteConnection> kept_;
  Deadline closeAt_;
  std::jthread closer_;
};

}  // namespace morvanix
