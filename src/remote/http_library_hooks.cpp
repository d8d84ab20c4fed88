#include "remote/http_library_hooks.h"

#include <string_view>
#include <utility>

namespace morvanix {

static_assert(std::string_view(CPPHTTPLIB_VERSION) == "0.18.7",
              "the hooks into the HTTP library were written for 0.18.7: read them against the "
              "new version's ClientImpl::send_, Server::process_request and their members");

PostClient::PostClient(const std::string& host, int port, TlsClientContext* tls,
                       const IoLimits& limits, std::unique_ptr<RemoteConnection> kept,
                       bool keepAlive)
    : httplib::ClientImpl(host, port),
      host_(host),
      port_(port),
      tls_(tls),
      limits_(limits),
      connection_(std::move(kept)),
      reused_(connection_ != nullptr) {
  // Without "Connection: close" on the request the connection may carry the next one.
  set_keep_alive(keepAlive);
}

PostClient::~PostClient() {
  // The library closes its socket after this; the connection must not close it too.
  if (connection_ != nullptr && socket_.is_open()) connection_->Lend();
}

bool PostClient::create_and_connect_socket(Socket& socket, httplib::Error& error) {
  if (connection_ == nullptr) {
    connection_ = RemoteConnection::Open(host_, port_, tls_, limits_.writeDeadline, limits_.stop);
    if (connection_ == nullptr) {
      error = httplib::Error::Connection;
      return false;
    }
  }
  socket.sock = connection_->Lend();
  return true;
}

bool PostClient::process_socket(const Socket&, std::function<bool(httplib::Stream&)> callback) {
  if (connection_ == nullptr) return false;
  TimedStream stream(connection_->Transport(), limits_);
  const bool done = callback(stream);
  replyBytes_ = stream.Received();
  // The library may have closed the connection already (see shutdown_ssl).
  if (connection_ != nullptr) ended_ = connection_->Transport().Ended();
  return done;
}

void PostClient::shutdown_ssl(Socket&, bool) {
  // Its TLS session ends first (with a close_notify if the socket takes it at once); the
  // socket is the library's to close.
  if (connection_ == nullptr) return;
  ended_ = connection_->Transport().Ended();
  connection_->Lend();
  connection_.reset();
}

std::unique_ptr<RemoteConnection> PostClient::TakeConnection() {
  if (connection_ == nullptr || !socket_.is_open()) return nullptr;
  connection_->TakeBack(socket_.sock);
  socket_.sock = INVALID_SOCKET;
  return std::move(connection_);
}

bool HookedServer::ServeRequests(SocketHandle sock, std::chrono::milliseconds requestTime,
                                 const StopToken& stop) {
  IoLimits limits;
  limits.readIdle =
      std::chrono::seconds(read_timeout_sec_) + std::chrono::microseconds(read_timeout_usec_);
  limits.writeIdle =
      std::chrono::seconds(write_timeout_sec_) + std::chrono::microseconds(write_timeout_usec_);
  limits.stop = stop;
  PlainTransport transport(sock);
  bool served = false;
  for (std::size_t left = keep_alive_max_count_; left > 0 && !stop.StopRequested(); --left) {
    limits.readDeadline = Deadline::After(requestTime);
    TimedStream stream(transport, limits);
    bool closeAfter = false;
    served =
        process_request(stream, std::string(), 0, std::string(), 0, left == 1, closeAfter, nullptr);
    if (!served || closeAfter) break;
  }
  return served;
}

httplib::Request& EditableRequest(const httplib::Request& request) {
  return const_cast<httplib::Request&>(request);
}

void CloseAfterHead(httplib::Response& response, const std::string& contentType) {
  response.set_content_provider(contentType, [](std::size_t, httplib::DataSink&) { return false; });
}

}  // namespace morvanix
