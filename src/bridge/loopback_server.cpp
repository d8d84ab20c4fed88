#include "bridge/loopback_server.h"

#include <algorithm>
#include <exception>
#include <memory>
#include <string>
#include <utility>

#include "base/debug_output.h"
#include "base/descriptor_limit.h"
#include "bridge/connection_threads.h"
#include "bridge/listen_socket.h"
#include "bridge/loopback_host.h"

namespace morvanix {
namespace {

using HandlerResponse = httplib::Server::HandlerResponse;

// Shown in the user's tab when another site sends the browser here.
constexpr const char* kNavigationRefused =
    "This is the local diagnostics agent; it is called by its web application, not opened in "
    "a tab.\n";

// Only GET and HEAD have routes: anything else is answered 404 at once, before the library
// reads a body. A GET whose declared body is larger than the payload cap is refused the same
// way (413) instead of being read; a smaller one is read and dropped by the library. A range
// request gets the whole answer, exactly as its handler set it. A request addressed to another
// host (a page of any site whose name was made to resolve to 127.0.0.1) is refused 403 and
// reaches no route; one without a Host header (HTTP/1.0) is served. So is a navigation that
// another site started, with a line for the person who sees it in their tab.
HandlerResponse NormalizeRequest(const httplib::Request& request, httplib::Response& response,
                                 std::size_t maxPayload, int port) {
  httplib::Request& editable = EditableRequest(request);
  if (editable.method != "GET" && editable.method != "HEAD") {
    response.status = 404;
    return HandlerResponse::Handled;
  }
  if (editable.get_header_value_u64("Content-Length") > maxPayload) {
    response.status = 413;
    return HandlerResponse::Handled;
  }
  if (editable.has_header("Host") && !IsLoopbackHost(editable.get_header_value("Host"), port)) {
    response.status = 403;
    return HandlerResponse::Handled;
  }
  if (IsCrossSiteNavigation(editable.get_header_value("Sec-Fetch-Mode"),
                            editable.get_header_value("Sec-Fetch-Dest"),
                            editable.get_header_value("Sec-Fetch-Site"))) {
    response.status = 403;
    response.set_content(kNavigationRefused, "text/plain");
    return HandlerResponse::Handled;
  }
  editable.headers.erase("Range");
  editable.ranges.clear();
  return HandlerResponse::Unhandled;
}

// Runs on every answer just before it is written. The library keeps a connection open after
// any answer it could write, even one that refused a request whose unread rest (a body, more
// header lines, the tail of an overlong line) would then be taken for the next request. So a
// refused request ends its connection: an answer whose empty body cannot be written (a
// provider that gives up at once) is the library's way to close after the head has gone out.
// A refusal with words has them written by a provider that then gives up the same way.
// Ranges are never served, so they are not advertised either.
void ShapeAnswer(const httplib::Request&, httplib::Response& response) {
  response.headers.erase("Accept-Ranges");
  if (response.status < 400) return;
  const bool typed = response.has_header("Content-Type");
  const std::string type = response.get_header_value("Content-Type");
  response.headers.erase("Keep-Alive");
  response.set_header("Connection", "close");
  if (response.body.empty()) {
    CloseAfterHead(response, type);
  } else {
    auto text = std::make_shared<const std::string>(std::move(response.body));
    response.body.clear();
    response.set_content_provider(type, [text](std::size_t, httplib::DataSink& sink) {
      sink.write(text->data(), text->size());
      return false;
    });
  }
  response.headers.erase("Content-Type");
  if (typed) response.set_header("Content-Type", type);
}

// A failing handler gets a bare 500; the exception's text is neither sent nor logged.
void AnswerPlainError(const httplib::Request&, httplib::Response& response, std::exception_ptr) {
  DebugOutput("morvanix: a request handler failed; answered 500");
  response.headers.clear();
  response.body.clear();
  response.status = 500;
}

}  // namespace

std::size_t ConnectionCapWithin(std::size_t wanted, std::size_t descriptorLimit) {
  const std::size_t room = descriptorLimit > kDescriptorReserve + kDescriptorsPerConnection
                               ? (descriptorLimit - kDescriptorReserve) / kDescriptorsPerConnection
                               : 1;
  return std::max<std::size_t>(1, std::min(wanted, room));
}

LoopbackServer::LoopbackServer(LoopbackLimits limits)
    : limits_(limits), server_(limits_.requestTime) {
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
  if (bound <= 0) {
    if (sock != INVALID_SOCKET) CloseListenSocket(sock);
    // The library refuses every later bind after a failed one until it is stopped; with no
    // loop of its own running, its stop only lifts that refusal.
    server_.stop();
    return -1;
  }
  listener_ = sock;
  host_ = host;
  port_ = bound;
  if (running_.load() && !stopRequested_.load()) server_.ShowListener(sock);
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

bool LoopbackServer::Serve() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (listener_ == INVALID_SOCKET || running_.load()) return false;
    running_.store(true);
    if (!stopRequested_.load()) server_.ShowListener(listener_);
  }
  ConnectionThreads threads(ConnectionCapWithin(limits_.maxConnections, DescriptorLimit()));
  AcceptRetry retry(limits_.acceptRetry);
  bool served = true;
  while (!StopRequested()) {
    socket_t listener = INVALID_SOCKET;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      listener = listener_;
    }
    if (listener == INVALID_SOCKET) break;  // closed by a stop
    if (!WaitForConnection(listener, Token())) continue;
    if (StopRequested()) break;
    const AcceptedSocket accepted = accept_ ? accept_(listener) : AcceptConnection(listener);
    if (accepted.sock != INVALID_SOCKET) {
      retry.Succeeded();
      // Waits here while every slot is taken: further connections stay queued in the kernel.
      threads.Run(
          [this, sock = accepted.sock, stop = Token()] { server_.ServeConnection(sock, stop); });
      continue;
    }
    if (StopRequested()) break;
    const AcceptRetry::Step step = retry.Failed(ClassifyAcceptError(accepted.error));
    if (retry.InARow() == 1 || step.rebind) {
      DebugOutput(("morvanix: accept failed with error " + std::to_string(accepted.error) +
                   (step.rebind ? "; binding the endpoint again" : "; trying again"))
                      .c_str());
    }
    if (step.rebind) {
      if (!Rebind()) {
        served = false;
        break;
      }
    } else {
      WaitUnlessStopped(step.wait);
    }
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    CloseListenerLocked();
  }
  threads.WaitForAll();
  running_.store(false);
  return served;
}

bool LoopbackServer::Rebind() {
  std::string host;
  int port = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    CloseListenerLocked();
    host = host_;
    port = port_;
  }
  for (int tried = 0; tried < limits_.rebindTries; ++tried) {
    if (!WaitUnlessStopped(limits_.rebindWait)) return true;  // the loop ends on the stop
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopRequested_.load()) return true;
    if (BindLocked(host, port) > 0) return true;
  }
  DebugOutput("morvanix: the endpoint cannot be bound again");
  return false;
}

bool LoopbackServer::WaitUnlessStopped(std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> lock(mutex_);
  return !stopChanged_.wait_for(lock, wait, [this] { return stopRequested_.load(); });
}

void LoopbackServer::Stop() {
  std::lock_guard<std::mutex> lock(mutex_);
  stopRequested_.store(true);
  stop_.RequestStop();
  stopChanged_.notify_all();
  server_.ShowListener(INVALID_SOCKET);
  // A listener not yet served stays open: Serve sees the stop and closes it.
  if (running_.load() && listener_ != INVALID_SOCKET) {
    InterruptListener(listener_);
    if (kInterruptClosesListener) listener_ = INVALID_SOCKET;
  }
}

void LoopbackServer::ClearStopRequest() {
  std::lock_guard<std::mutex> lock(mutex_);
  stopRequested_.store(false);
  stop_.Reset();
}

StopToken LoopbackServer::Token() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stop_.Token();
}

}  // namespace morvanix
