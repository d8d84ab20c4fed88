#pragma once

// The HTTP library's client, reached into beyond its public interface (its private virtual
// members overridden, its protected fields); the server's side of that is in
// http/server_hooks.h, and both are checked against the library's version.
#include <httplib.h>

#include <memory>
#include <string>

#include "base/socket_calls.h"
#include "http/library_version.h"
#include "http/timed_stream.h"
#include "remote/remote_connection.h"

namespace morvanix {

// The library's client for one post over the agent's own connection: a kept one handed in,
// or a new one made with the deadline and the stop (and, in the HTTPS build, its TLS
// session). The library's own connect and time-outs are never used: they restart with every
// byte and wait in the kernel where no stop reaches them.
class PostClient final : public httplib::ClientImpl {
 public:
  // keepAlive false asks the server to close the connection after its reply.
  PostClient(const std::string& host, int port, TlsClientContext* tls, const IoLimits& limits,
             std::unique_ptr<RemoteConnection> kept, bool keepAlive = true);
  ~PostClient() override;

  // After send: the connection, when the exchange went through and neither side asked to
  // close it; nullptr otherwise (the library has closed it).
  std::unique_ptr<RemoteConnection> TakeConnection();

  // After a send that failed: whether it went over the kept connection handed in, how many
  // reply bytes had arrived, and how the server had ended the connection.
  bool Reused() const { return reused_; }
  std::size_t ReplyBytes() const { return replyBytes_; }
  PeerEnd Ended() const { return ended_; }

 private:
  bool create_and_connect_socket(Socket& socket, httplib::Error& error) override;
  bool process_socket(const Socket& socket,
                      std::function<bool(httplib::Stream&)> callback) override;
  // Called by the library just before it closes the socket.
  void shutdown_ssl(Socket& socket, bool gracefully) override;

  std::string host_;
  int port_;
  TlsClientContext* tls_;  // what its connection is made with (see RemoteConnection::Open)
  const IoLimits& limits_;
  std::unique_ptr<RemoteConnection> connection_;
  bool reused_;
  std::size_t replyBytes_ = 0;
  PeerEnd ended_ = PeerEnd::kNone;
};

}  // namespace morvanix
