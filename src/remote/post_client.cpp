#include "remote/post_client.h"

#include <utility>

namespace morvanix {

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

}  // namespace morvanix
