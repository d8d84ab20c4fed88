#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "base/deadline.h"
#include "base/stop_token.h"
#include "remote/remote_connection.h"
#ifdef MORVANIX_REMOTE_TLS
#include "remote/tls_client_context.h"
#endif

namespace morvanix {

// Keeps the one connection to the remote server open between posts, and closes it once it
// has been idle for its limit: idleLimit at first, below common servers' keep-alive
// time-outs (5 s is usual), so that the agent, not the server, ends an idle connection.
//
// A server that ends kept connections without announcing it teaches the keeper how it does:
// one that closed a connection idle for a time t gets its connections kept for less than t
// from then on; one that closes right after its replies (or after some number of requests)
// gets none kept, each post a connection of its own, for the keeper's life. A close right
// after a reply must be met on two connections for that, with no connection kept to its idle
// limit between: a single one may be a restart or a proxy that went away. What was learned
// is told in one debug line.
//
// In the HTTPS build it also holds what the connections to the server share, the trust store
// and the sessions to resume: the kept connection's session needs that context for as long
// as it lives, and the sessions to resume are, like the connection, what one connection
// leaves for the next.
//
// While a connection is kept, its closing thread waits for the server's close or the idle
// limit, whichever comes first; while none is, it waits for one without a deadline and costs
// no wake-up. The thread starts with the first connection kept.
class ConnectionKeeper {
 public:
  static constexpr SteadyClock::duration kIdleLimit = std::chrono::seconds(3);
  // A server that closes connections idle for less than this closes them, as far as posts
  // that follow each other can tell, right after its replies.
  static constexpr SteadyClock::duration kShortestServerIdle = std::chrono::milliseconds(200);

  explicit ConnectionKeeper(SteadyClock::duration idleLimit = kIdleLimit);
  ~ConnectionKeeper();
  ConnectionKeeper(const ConnectionKeeper&) = delete;
  ConnectionKeeper& operator=(const ConnectionKeeper&) = delete;

  // Whether a post to host:port may keep its connection for the next one: false once that
  // server was seen to close connections right after its replies.
  bool Keeps(const std::string& host, int port);

  // The kept connection to host:port, when it can carry another request (the server has not
  // closed it, nothing unasked arrived); nullptr otherwise, the stale one closed. Each post
  // takes it for itself: two posts at once never share one.
  std::unique_ptr<RemoteConnection> Take(const std::string& host, int port);

  // Keeps a connection that carried a post to its end; the one kept before is closed.
  void Keep(std::unique_ptr<RemoteConnection> connection);

  // The server at host:port ended a connection without announcing it, `idle` after that
  // connection's last reply.
  void LearnUnannouncedClose(const std::string& host, int port, SteadyClock::duration idle);

  // How long connections to host:port are kept idle at most; zero when none are.
  SteadyClock::duration KeptFor(const std::string& host, int port);

  // What the HTTPS build's connections are made with, for as long as the keeper lives;
  // nullptr in the plain build.
  TlsClientContext* Tls();

 private:
  void CloseWhenIdle();
  // Ends the closing thread's wait on the kept connection and returns once it has left it:
  // the connection's socket is then free for a post (on Windows a wait binds the socket).
  void EndWatchLocked(std::unique_lock<std::mutex>& guard);
  SteadyClock::duration KeptForLocked(const std::string& host, int port) const;
  void LearnLocked(const std::string& host, int port, SteadyClock::duration idle);

  const SteadyClock::duration idleLimit_;
#ifdef MORVANIX_REMOTE_TLS
  TlsClientContext tls_;  // before kept_: outlives the kept connection's session
#endif
  std::mutex lock_;
  std::condition_variable changed_;
  std::unique_ptr<RemoteConnection> kept_;
  Deadline closeAt_;
  // Raised whenever kept_ is taken or replaced, so that a watch knows its connection.
  std::uint64_t generation_ = 0;
  // The stop of the closing thread's wait on the kept connection, while it waits.
  StopSource* watch_ = nullptr;
  bool ending_ = false;
  // What was learned, for the one server the agent posts to.
  std::string learnedHost_;
  int learnedPort_ = 0;
  SteadyClock::duration learnedLimit_ = SteadyClock::duration::max();
  // Closes right after a reply met since a connection was last kept to its idle limit.
  int quickCloses_ = 0;
  std::thread closer_;
};

}  // namespace morvanix
