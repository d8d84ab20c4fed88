#include "remote/tls_session.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <cstdint>

#include "base/debug_output.h"
#include "base/socket_calls.h"
#include "remote/report_limiter.h"

namespace morvanix {
namespace {

// One context for the process: the trust store is parsed once (a bundle of some 150
// certificates costs tens of milliseconds), not once per post. Never freed: posts may run
// until the process ends, and OpenSSL cleans up after itself at exit.
SSL_CTX* SharedContext() {
  static SSL_CTX* const context = [] {
    // No configuration file: nothing in the environment may change how servers are checked.
    OPENSSL_init_ssl(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr);
    SSL_CTX* made = SSL_CTX_new(TLS_client_method());
    if (made == nullptr) return made;
    SSL_CTX_set_min_proto_version(made, TLS1_2_VERSION);
    SSL_CTX_set_verify(made, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_mode(made, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // A server that closes without close_notify after a complete reply is no failure.
    SSL_CTX_set_options(made, SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_RENEGOTIATION);
    if (!detail::LoadSystemTrust(SSL_CTX_get_cert_store(made))) {
      DebugOutput("morvanix: no trusted certificates found; every HTTPS post will fail");
    }
    return made;
  }();
  return context;
}

// The socket as OpenSSL's transport, through the agent's own sends and receives. OpenSSL's
// own socket layer writes with write(), which raises SIGPIPE on a connection the server has
// hung up; a process using this layer must not have to ignore that signal to survive it.
socket_t SocketOf(BIO* bio) {
  return static_cast<socket_t>(reinterpret_cast<std::uintptr_t>(BIO_get_data(bio)));
}

int TransportWrite(BIO* bio, const char* data, int size) {
  BIO_clear_retry_flags(bio);
  const ssize_t sent = SendSome(SocketOf(bio), data, static_cast<size_t>(size));
  if (sent < 0 && LastCallWouldBlock()) BIO_set_retry_write(bio);
  return static_cast<int>(sent);
}

int TransportRead(BIO* bio, char* data, int size) {
  BIO_clear_retry_flags(bio);
  const ssize_t got = ReceiveSome(SocketOf(bio), data, static_cast<size_t>(size));
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

BIO* SocketTransport(socket_t sock) {
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

ReportLimiter& HandshakeReports() {
  static ReportLimiter limiter;
  return limiter;
}

void ReportHandshakeFailure(const std::string& host, const std::string& reason) {
  if (!HandshakeReports().ShouldReport(reason, ReportLimiter::Clock::now())) return;
  const std::string line = "morvanix: TLS handshake with " + host + " failed: " + reason;
  DebugOutput(line.c_str());
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

// One SSL call repeated until it succeeds or fails, waiting for the socket as it asks, for
// at most until `end`: its result, or -1 with *timedOut set.
template <typename Call>
int Retried(SSL* ssl, socket_t sock, Call call, ClientClock::time_point end, bool* timedOut) {
  *timedOut = false;
  for (;;) {
    ERR_clear_error();
    const int result = call();
    if (result > 0) return result;
    const int error = SSL_get_error(ssl, result);
    if (error == SSL_ERROR_ZERO_RETURN) return 0;
    if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) return -1;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(end - ClientClock::now());
    if (left.count() <= 0) {
      *timedOut = true;
      return -1;
    }
    const Readiness what = error == SSL_ERROR_WANT_WRITE ? Readiness::kWrite : Readiness::kRead;
    if (WaitForSocket(sock, what, Deadline::After(left), StopToken()) == WaitOutcome::kFailed) {
      return -1;
    }
  }
}

}  // namespace

std::unique_ptr<TlsSession> TlsSession::Open(socket_t sock, const std::string& host,
                                             ClientClock::time_point deadline,
                                             const std::function<bool()>& stopped,
                                             std::string* failure) {
  SSL_CTX* context = SharedContext();
  if (context == nullptr) return nullptr;
  SSL* ssl = SSL_new(context);
  if (ssl == nullptr) return nullptr;
  std::unique_ptr<TlsSession> session(new TlsSession(sock, ssl));
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
  SendWithoutDelay(sock);

  for (;;) {
    if (ClientClock::now() >= deadline || (stopped && stopped())) return nullptr;
    bool timedOut = false;
    const int result = Retried(
        ssl, sock, [ssl] { return SSL_connect(ssl); },
        ClientClock::now() + ClientSocketStream::kSlice, &timedOut);
    if (result == 1) return session;
    if (!timedOut) {
      const std::string reason = FailureReason(ssl);
      if (failure != nullptr) *failure = reason;
      ReportHandshakeFailure(host, reason);
      return nullptr;
    }
  }
}

std::string TlsSession::Version() const {
  return SSL_get_version(ssl_);
}

TlsSession::~TlsSession() {
  // One close_notify if the socket takes it at once; the reply is in, nothing is waited for.
  ERR_clear_error();
  if (SSL_is_init_finished(ssl_)) SSL_shutdown(ssl_);
  SSL_free(ssl_);
  ERR_clear_error();
}

ssize_t TlsSession::Read(char* data, size_t size) {
  bool timedOut = false;
  const int count = static_cast<int>(std::min<size_t>(size, 1 << 20));
  return Retried(
      ssl_, sock_, [&] { return SSL_read(ssl_, data, count); },
      ClientClock::now() + ClientSocketStream::kSlice, &timedOut);
}

ssize_t TlsSession::Write(const char* data, size_t size) {
  bool timedOut = false;
  const int count = static_cast<int>(std::min<size_t>(size, 64 * 1024));
  const int written = Retried(
      ssl_, sock_, [&] { return SSL_write(ssl_, data, count); },
      ClientClock::now() + ClientSocketStream::kSlice, &timedOut);
  return written == 0 ? -1 : written;
}

}  // namespace morvanix
