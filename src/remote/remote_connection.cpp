#include "remote/remote_connection.h"

#include <utility>

#ifdef MORVANIX_REMOTE_TLS
#include "remote/tls_client_context.h"
#include "remote/tls_session.h"
#endif

namespace morvanix {

RemoteConnection::RemoteConnection(std::string host, int port, SocketHandle sock)
    : host_(std::move(host)), port_(port), sock_(sock), plain_(sock) {}

RemoteConnection::~RemoteConnection() {
#ifdef MORVANIX_REMOTE_TLS
  tls_.reset();  // its close_notify goes out before the socket closes
#endif
  if (owned_) CloseSocket(sock_);
}

std::unique_ptr<RemoteConnection> RemoteConnection::Open(const std::string& host, int port,
                                                         [[maybe_unused]] TlsClientContext* tls,
                                                         const Deadline& deadline,
                                                         const StopToken& stop) {
  const SocketHandle sock = ConnectTcp(host, port, deadline, stop);
  if (sock == kNoSocket) return nullptr;
  std::unique_ptr<RemoteConnection> connection(new RemoteConnection(host, port, sock));
#ifdef MORVANIX_REMOTE_TLS
  if (tls == nullptr) {
    connection->ownContext_ = std::make_unique<TlsClientContext>();
    tls = connection->ownContext_.get();
  }
  // No fallback to plain HTTP: a failed handshake is a failed post.
  connection->tls_ = TlsSession::Open(*tls, sock, host, port, deadline, stop);
  if (connection->tls_ == nullptr) return nullptr;
#endif
  return connection;
}

ByteTransport& RemoteConnection::Transport() {
#ifdef MORVANIX_REMOTE_TLS
  return *tls_;
#else
  return plain_;
#endif
}

IdleState RemoteConnection::LookIdle() {
#ifdef MORVANIX_REMOTE_TLS
  return tls_->LookIdle();
#else
  if (plain_.HasBuffered()) return IdleState::kUnasked;
  return LookAtIdleSocket(sock_);
#endif
}

SocketHandle RemoteConnection::Lend() {
  owned_ = false;
  return sock_;
}

void RemoteConnection::TakeBack(SocketHandle sock) {
  sock_ = sock;
  owned_ = true;
}

}  // namespace morvanix
