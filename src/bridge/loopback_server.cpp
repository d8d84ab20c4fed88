#include "bridge/loopback_server.h"

#include <exception>
#include <utility>

#include "base/debug_output.h"
#include "bridge/connection_threads.h"
#include "bridge/listen_socket.h"
#include "bridge/loopback_host.h"

namespace morvanix {
namespace {

using HandlerResponse = httplib::Server::HandlerResponse;

// Only GET and HEAD have routes: anything else is answered 404 at once, before the library
// reads a body. A GET whose declared body is larger than the payload cap is refused the same
// way (413) instead of being read; a smaller one is read and dropped by the library. A range
// request gets the whole answer, exactly as its handler set it. A request addressed to another
// host (a page of any site whose name was made to resolve to 127.0.0.1) is refused 403 and
// reaches no route; one without a Host header (HTTP/1.0) is served.
HandlerResponse NormalizeRequest(const httplib::Request& request, httplib::Response& response,
                                 std::size_t maxPayload, int port) {
  // The library passes its own, non-const request object; changing it here is the one hook
  // it offers before content is read and before the answer is shaped.
  auto& editable = const_cast<httplib::Request&>(request);
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
  editable.headers.erase("Range");
  editable.ranges.clear();
  return HandlerResponse::Unhandled;
}

// Runs on every answer just before it is written. The library keeps a connection open after
// any answer it could write, even one that refused a request whose unread rest (a body, more
// header lines, the tail of an overlong line) would then be taken for the next request. So a
// refused request ends its connection: an answer whose empty body cannot be written (a
// provider that gives up at once) is the library's way to close after the head has gone out.
// Ranges are never served, so they are not advertised either.
void ShapeAnswer(const httplib::Request&, httplib::Response& response) {
  response.headers.erase("Accept-Ranges");
  if (response.status < 400 || !response.body.empty()) return;
  const bool typed = response.has_header("Content-Type");
  const std::string type = response.get_header_value("Content-Type");
  response.headers.erase("Keep-Alive");
  response.set_header("Connection", "close");
  response.set_content_provider(type, [](std::size_t, httplib::DataSink&) { return false; });
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

// The library's accept loop creates this queue when it starts, hands it every accepted
// connection, calls on_idle every idle interval (Windows only: elsewhere the loop blocks in
// accept until a connection or a stop comes) and shuts it down when the loop has ended.
class LoopbackServer::ServingQueue : public httplib::TaskQueue {
 public:
  explicit ServingQueue(LoopbackServer& owner)
      : owner_(owner), threads_(owner.limits_.maxConnections) {
    owner_.OnLoopStart();
  }

  bool enqueue(std::function<void()> fn) override {
    owner_.OnLoopTick();
    threads_.Run(std::move(fn));
    return true;
  }

  void shutdown() override {
    owner_.OnLoopEnd();
    threads_.WaitForAll();
  }

  void on_idle() override { owner_.OnLoopTick(); }

 private:
  LoopbackServer& owner_;
  ConnectionThreads threads_;
};

LoopbackServer::LoopbackServer(LoopbackLimits limits)
    : limits_(limits), server_(limits_.requestTime) {
  server_.new_task_queue = [this]() -> httplib::TaskQueue* { return new ServingQueue(*this); };
  server_.set_idle_interval(0, kAcceptWaitMicroseconds);
  // Up to 5 requests on one connection, as browsers expect of this endpoint.
  server_.set_keep_alive_max_count(5);
  server_.set_socket_options([this](socket_t sock) {
    MakeAddressExclusive(sock);
    boundSocket_.store(sock);
  });
  server_.set_payload_max_length(limits_.maxPayload);
  server_.set_pre_routing_handler(
      [this](const httplib::Request& request, httplib::Response& response) {
        return NormalizeRequest(request, response, limits_.maxPayload, boundPort_.load());
      });
  server_.set_post_routing_handler(ShapeAnswer);
  server_.set_exception_handler(AnswerPlainError);
}

LoopbackServer::~LoopbackServer() {
  if (boundUnserved_.exchange(false)) CloseListenSocket(boundSocket_.load());
}

int LoopbackServer::Bind(const std::string& host, int port) {
  if (boundUnserved_.exchange(false)) CloseListenSocket(boundSocket_.load());
  boundSocket_.store(INVALID_SOCKET);
  int bound = -1;
  if (port == 0) {
    bound = server_.bind_to_any_port(host);
  } else if (server_.bind_to_port(host, port)) {
    bound = port;
  }
  if (bound <= 0) {
    // The library refuses every later bind and serve after a failed one until it is
    // stopped; with no loop running, its stop only lifts that refusal.
    if (!server_.is_running()) server_.stop();
    return -1;
  }
  boundUnserved_.store(true);
  boundPort_.store(bound);
  return bound;
}

bool LoopbackServer::Serve() {
  boundUnserved_.store(false);  // the accept loop owns the socket from here on
  return server_.listen_after_bind();
}

bool LoopbackServer::Listen(const std::string& host, int port) {
  if (Bind(host, port) < 0) return false;
  return Serve();
}

void LoopbackServer::Stop() {
  std::lock_guard<std::mutex> lock(stopMutex_);
  stopRequested_ = true;
  IssueStopLocked();
}

void LoopbackServer::ClearStopRequest() {
  std::lock_guard<std::mutex> lock(stopMutex_);
  stopRequested_ = false;
}

bool LoopbackServer::StopRequested() const {
  std::lock_guard<std::mutex> lock(stopMutex_);
  return stopRequested_;
}

void LoopbackServer::OnLoopStart() {
  std::lock_guard<std::mutex> lock(stopMutex_);
  loopActive_ = true;
  stopIssued_ = false;
  // A stop that came before the loop ran ends it now; the loop may never wake otherwise.
  IssueStopLocked();
}

void LoopbackServer::OnLoopTick() {
  std::lock_guard<std::mutex> lock(stopMutex_);
  IssueStopLocked();
}

void LoopbackServer::OnLoopEnd() {
  std::lock_guard<std::mutex> lock(stopMutex_);
  loopActive_ = false;
}

void LoopbackServer::IssueStopLocked() {
  // The library's stop closes the listening socket without asking whether the loop has
  // closed it already, so it is called once per loop and only while the loop runs; later,
  // it could close whatever descriptor has taken that number meanwhile.
  if (stopRequested_ && loopActive_ && !stopIssued_ && server_.is_running()) {
    stopIssued_ = true;
    server_.stop();
  }
}

}  // namespace morvanix
