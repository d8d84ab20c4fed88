#pragma once

// Every place where the agent reaches into the HTTP library beyond its public interface: its
// private virtual members overridden, its protected fields, its internals. Written for one
// version of the library (checked where this is compiled); a new version is read against
// these first.
#include <httplib.h>

#include <chrono>
#include <memory>
#include <string>

#include "base/socket_calls.h"
#include "base/stop_token.h"
#include "remote/remote_connection.h"
#include "remote/timed_stream.h"

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

// The library's server with its per-connection loop and listener kept by the agent.
class HookedServer : public httplib::Server {
 public:
  // Hands over the socket a successful bind made; the library keeps no hold on it.
  socket_t TakeListener() { return svr_sock_.exchange(INVALID_SOCKET); }

  // The library's writers of chunked answers stop once its socket reads INVALID_SOCKET, its
  // sign of a stop: the accept loop shows its listener there while it serves, and nothing
  // else (the library never closes a socket it holds this way).
  void ShowListener(socket_t sock) { svr_sock_.store(sock); }

 protected:
  // Serves the requests of one non-blocking connection (at most the keep-alive count) until
  // one fails or asks to close, or the stop comes between two. Each request, head and any
  // body, must have arrived within requestTime of the moment the connection began to wait
  // for it, each read within the read time-out; answers are finished whatever the stop.
  bool ServeRequests(SocketHandle sock, std::chrono::milliseconds requestTime,
                     const StopToken& stop);
};

// The request the library passes its pre-routing handler as const is its own object, and the
// handler is the one hook before content is read and the answer is shaped.
httplib::Request& EditableRequest(const httplib::Request& request);

// Makes an answer whose head goes out and whose connection then closes: an empty body that
// cannot be written (a provider that gives up at once) is the library's way to do that.
void CloseAfterHead(httplib::Response& response, const std::string& contentType);

}  // namespace morvanix
