#include "bridge/loopback_server.h"

#include <exception>
#include <utility>

#include "base/debug_output.h"
#include "bridge/connection_threads.h"
#include "bridge/listen_socket.h"

namespace morvanix {
namespace {

using HandlerResponse = httplib::Server::HandlerResponse;

// Only GET and HEAD have routes. Anything else is answered 404 before the library reads a
// body, since it would read a chunked one of any size into memory; the connection is then
// closed because the unread body is still in it. For the rest, the headers that would make
// the library compress the answer or cut a range out of it are dropped, so every answer is
// exactly the one its handler set.
HandlerResponse NormalizeRequest(const httplib::Request& request, httplib::Response& response) {
  // The library passes its own, non-const request object; changing it here is the one hook
  // it offers before content is read and before the answer is shaped.
  auto& editable = const_cast<httplib::Request&>(request);
  if (editable.method != "GET" && editable.method != "HEAD") {
    response.status = 404;
    editable.headers.erase("Connection");
    editable.set_header("Connection", "close");
    return HandlerResponse::Handled;
  }
  editable.headers.erase("Accept-Encoding");
  editable.headers.erase("Range");
  editable.ranges.clear();
  return HandlerResponse::Unhandled;
}

// Ranges are never served, so they are not advertised either.
void RemoveRangeAdvert(const httplib::Request&, httplib::Response& response) {
  response.headers.erase("Accept-Ranges");
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
// connection, calls on_idle every idle interval and shuts it down when the loop has ended.
class LoopbackServer::ServingQueue : public httplib::TaskQueue {
 public:
  explicit ServingQueue(LoopbackServer& owner)
      : owner_(owner), threads_(owner.limits_.maxConnections) {
    owner_.OnLoopStart();
  }

  void enqueue(std::function<void()> fn) override {
    owner_.OnLoopTick();
    threads_.Run(std::move(fn));
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

LoopbackServer::LoopbackServer(LoopbackLimits limits) : limits_(limits) {
  server_.new_task_queue = [this]() -> httplib::TaskQueue* { return new ServingQueue(*this); };
  server_.set_idle_interval(0, 100000);
  server_.set_socket_options([this](socket_t sock) {
    MakeAddressExclusive(sock);
    boundSocket_.store(sock);
  });
  server_.set_payload_max_length(limits_.maxPayload);
  server_.set_pre_routing_handler(NormalizeRequest);
  server_.set_post_routing_handler(RemoveRangeAdvert);
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
  if (bound <= 0) return -1;
  boundUnserved_.store(true);
  // The library listens with a backlog of 5, which makes a burst of connections wait
  // seconds for the client's SYN retries; listening again enlarges the queue.
  if (!SetListenBacklog(boundSocket_.load(), limits_.listenBacklog)) {
    DebugOutput("morvanix: could not enlarge the listen backlog");
  }
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
