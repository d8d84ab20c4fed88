#include "remote/tls_session.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstdint>

#include "base/io_retry.h"
#include "base/socket_calls.h"
#include "remote/tls_client_context.h"

namespace morvanix {
namespace {

// The socket as OpenSSL's transport, through the agent's own sends and receives. OpenSSL's
// own socket layer writes with write(), which raises SIGPIPE on a connection the server has
// hung up; a process using this layer must not have to ignore that signal to survive it.
SocketHandle SocketOf(BIO* bio) {
  return static_cast<SocketHandle>(reinterpret_cast<std::uintptr_t>(BIO_get_data(bio)));
}

int TransportWrite(BIO* bio, const char* data, int size) {
  BIO_clear_retry_flags(bio);
  const std::ptrdiff_t sent = SendSome(SocketOf(bio), data, static_cast<size_t>(size));
  if (sent < 0 && LastCallWouldBlock()) BIO_set_retry_write(bio);
  return static_cast<int>(sent);
}

int TransportRead(BIO* bio, char* data, int size) {
  BIO_clear_retry_flags(bio);
  const std::ptrdiff_t got = ReceiveSome(SocketOf(bio), data, static_cast<size_t>(size));
  if (got < 0 && LastCallWouldBlock()) BIO_set_retry_read(bio);
  return static_cast<int>(got);
}

long TransportControl(BIO*, int command, long, void*) {
  return command == BIO_CTRL_FLUSH ? 1 : 0;  // nothing is buffered here
}

int TransportCreate(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

BIO* SocketTransport(SocketHandle sock) {
  // Registered with OpenSSL once for the process, as its own method tables are: a
  // registration, not state of any one agent.
  static BIO_METHOD* const method = [] {
    BIO_METHOD* made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "agent socket");
    if (made != nullptr) {
      BIO_meth_set_write(made, TransportWrite);
      BIO_meth_set_read(made, TransportRead);
      BIO_meth_set_ctrl(made, TransportControl);
      BIO_meth_set_create(made, TransportCreate);
    }
    return made;
  }();
  if (method == nullptr) return nullptr;
  BIO* bio = BIO_new(method);
  if (bio != nullptr) BIO_set_data(bio, reinterpret_cast<void*>(static_cast<std::uintptr_t>(sock)));
  return bio;
}

// The reason of a failed handshake: the certificate check's own text when that failed.
std::string FailureReason(SSL* ssl) {
  const long verified = SSL_get_verify_result(ssl);
  if (verified != X509_V_OK) return X509_verify_cert_error_string(verified);
  const unsigned long error = ERR_peek_last_error();
  if (error != 0) {
    const char* reason = ERR_reason_error_string(error);
    if (reason != nullptr) return reason;
  }
  return "connection closed during the handshake";
}

// One SSL call repeated until it succeeds or fails, waiting for the socket as it asks until
// the deadline or the stop: its result, 0 at a clean end of stream, or -1. *end tells how the
// peer ended the connection when it did: close_notify or the end of the stream (taken as
// clean, see TlsClientContext) are orderly; the socket's own error tells the rest.
template <typename Call>
int Retried(SSL* ssl, SocketHandle sock, Call call, const Deadline& deadline, const StopToken& stop,
            PeerEnd* end = nullptr) {
  return static_cast<int>(RetryOnSocket(sock, deadline, stop, [&] {
    ERR_clear_error();
    const int result = call();
    if (result > 0) return IoTry::Done(result);
    const int error = SSL_get_error(ssl, result);
    if (error == SSL_ERROR_ZERO_RETURN) {
      if (end != nullptr) *end = PeerEnd::kOrderly;
      return IoTry::Done(0);
    }
    if (error == SSL_ERROR_WANT_READ) return IoTry::WaitsFor(Readiness::kRead);
    if (error == SSL_ERROR_WANT_WRITE) return IoTry::WaitsFor(Readiness::kWrite);
    if (error == SSL_ERROR_SYSCALL && end != nullptr) *end = LastCallPeerEnd();
    return IoTry::Done(-1);
  }));
}

}  // namespace

std::unique_ptr<TlsSession> TlsSession::Open(TlsClientContext& context, SocketHandle sock,
                                             const std::string& host, int port,
                                             const Deadline& deadline, const StopToken& stop,
                                             std::string* failure) {
  std::unique_ptr<TlsSession> session(new TlsSession(sock));
  session->key_ = host + ":" + std::to_string(port);
  session->ssl_ = context.NewConnection(&session->key_);
  if (session->ssl_ == nullptr) return nullptr;
  SSL* ssl = session->ssl_;
  // The name is checked here, by OpenSSL, against the alternative names only; an address
  // against the certificate's addresses.
  X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
  X509_VERIFY_PARAM_set_hostflags(
      param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS | X509_CHECK_FLAG_NEVER_CHECK_SUBJECT);
  if (X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) != 1) {
    if (X509_VERIFY_PARAM_set1_host(param, host.c_str(), host.size()) != 1 ||
        SSL_set_tlsext_host_name(ssl, host.c_str()) != 1) {
      return nullptr;
    }
  }
  BIO* transport = SocketTransport(sock);
  if (transport == nullptr) return nullptr;
  SSL_set_bio(ssl, transport, transport);  // the session owns it from here

  const int result = Retried(
      ssl, sock, [ssl] { return SSL_connect(ssl); }, deadline, stop);
  if (result == 1) return session;
  if (!deadline.Passed() && !stop.StopRequested()) {
    const std::string reason = FailureReason(ssl);
    if (failure != nullptr) *failure = reason;
    context.ReportHandshakeFailure(host, reason);
  }
  return nullptr;
}

std::string TlsSession::Version() const {
  return SSL_get_version(ssl_);
}

TlsSession::~TlsSession() {
  // One close_notify if the socket takes it at once; the reply is in, nothing is waited for.
  if (ssl_ == nullptr) return;
  ERR_clear_error();
  if (SSL_is_init_finished(ssl_)) SSL_shutdown(ssl_);
  SSL_free(ssl_);
  ERR_clear_error();
}

bool TlsSession::Resumed() const {
  return SSL_session_reused(ssl_) == 1;
}

IdleState TlsSession::LookIdle() {
  const IdleState socket = LookAtIdleSocket(sock_);
  if (socket != IdleState::kUnasked) return socket;
  // Something arrived: read it without waiting. Only records that carry no data (tickets)
  // leave the session wanting more; an alert or close_notify ends it.
  ERR_clear_error();
  char byte = 0;
  const int peeked = SSL_peek(ssl_, &byte, 1);
  if (peeked > 0) return IdleState::kUnasked;
  if (SSL_get_error(ssl_, peeked) != SSL_ERROR_WANT_READ) return IdleState::kEnded;
  return LookAtIdleSocket(sock_);
}

std::ptrdiff_t TlsSession::Read(char* data, std::size_t size, const Deadline& deadline,
                                const StopToken& stop) {
  const int count = static_cast<int>(std::min<std::size_t>(size, 1 << 20));
  PeerEnd end = PeerEnd::kNone;
  const int got = Retried(
      ssl_, sock_, [&] { return SSL_read(ssl_, data, count); }, deadline, stop, &end);
  NoteEnd(end);
  return got;
}

std::ptrdiff_t TlsSession::Write(const char* data, std::size_t size, const Deadline& deadline,
                                 const StopToken& stop) {
  const int count = static_cast<int>(std::min<std::size_t>(size, 64 * 1024));
  PeerEnd end = PeerEnd::kNone;
  const int written = Retried(
      ssl_, sock_, [&] { return SSL_write(ssl_, data, count); }, deadline, stop, &end);
  NoteEnd(end);
  return written == 0 ? -1 : written;
}

}  // namespace morvanix
