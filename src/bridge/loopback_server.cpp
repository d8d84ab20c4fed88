#include "bridge/loopback_server.h"

#include <utility>

#include "base/socket_calls.h"
#include "bridge/listen_socket.h"
#include "bridge/loopback_request_policy.h"

namespace morvanix {

LoopbackServer::LoopbackServer(StopToken stop, LoopbackLimits limits)
    : limits_(limits), stop_(std::move(stop)) {
  // Up to 5 requests on one connection, as browsers expect of this endpoint.
  server_.set_keep_alive_max_count(5);
  server_.set_socket_options([](socket_t sock) { MakeAddressExclusive(sock); });
  server_.set_payload_max_length(limits_.maxPayload);
  server_.set_pre_routing_handler(
      [this](const httplib::Request& request, httplib::Response& response) {
        return NormalizeRequest(request, response, limits_.maxPayload, boundPort_.load());
      });
  server_.set_post_routing_handler(ShapeAnswer);
  server_.set_exception_handler(AnswerPlainError);
}

LoopbackServer::~LoopbackServer() {
  std::lock_guard<std::mutex> lock(mutex_);
  CloseListenerLocked();
}

int LoopbackServer::BindLocked(const std::string& host, int port) {
  int bound = -1;
  if (port == 0) {
    bound = server_.bind_to_any_port(host);
  } else if (server_.bind_to_port(host, port)) {
    bound = port;
  }
  const socket_t sock = server_.TakeListener();
  // The accept loop waits for a connection before it accepts one: a connection that goes
  // away in between must not leave the accept blocked where the stop cannot reach it.
  if (bound <= 0 || !SetNonBlocking(sock)) {
    if (sock != INVALID_SOCKET) CloseListenSocket(sock);
    // The library refuses every later bind after a failed one until it is stopped; with no
    // loop of its own running, its stop only lifts that refusal.
    server_.stop();
    return -1;
  }
  listener_ = sock;
  host_ = host;
  port_ = bound;
  if (running_.load() && !stop_.StopRequested()) server_.ShowListener(sock);
  boundPort_.store(bound);
  return bound;
}

void LoopbackServer::CloseListenerLocked() {
  server_.ShowListener(INVALID_SOCKET);
  if (listener_ == INVALID_SOCKET) return;
  CloseListenSocket(listener_);
  listener_ = INVALID_SOCKET;
}

int LoopbackServer::Bind(const std::string& host, int port) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (running_.load()) return -1;  // the loop owns the listener until it ends
  CloseListenerLocked();
  return BindLocked(host, port);
}

bool LoopbackServer::Listen(const std::string& host, int port) {
  if (Bind(host, port) < 0) return false;
  return Serve();
}

}  // namespace morvanix
