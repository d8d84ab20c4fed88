#include "remote/tls_session.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <mutex>

#include "base/debug_output.h"
#include "base/io_retry.h"
#include "base/socket_calls.h"
#include "remote/report_limiter.h"

namespace morvanix {
namespace {

// The last resumable session of each host:port, handed to the next connection there: a TLS
// 1.3 server sends its tickets after the handshake, so they arrive during any later read.
struct ResumableSessions {
  std::mutex lock;
  std::map<std::string, SSL_SESSION*> byServer;
};

ResumableSessions& Resumable() {
  static ResumableSessions* const sessions = new ResumableSessions;  // outlives every post
  return *sessions;
}

int SessionKeyIndex() {
  static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

// Takes ownership of a session the server offered (1), keeping the newest per server.
int Remember(SSL* ssl, SSL_SESSION* session) {
  const auto* key = static_cast<const std::string*>(SSL_get_ex_data(ssl, SessionKeyIndex()));
  if (key == nullptr || SSL_SESSION_is_resumable(session) != 1) return 0;
  ResumableSessions& sessions = Resumable();
  std::lock_guard<std::mutex> guard(sessions.lock);
  SSL_SESSION*& kept = sessions.byServer[*key];
  if (kept != nullptr) SSL_SESSION_free(kept);
  kept = session;
  return 1;
}

// A reference to the server's last session, or nullptr.
SSL_SESSION* LastSession(const std::string& key) {
  ResumableSessions& sessions = Resumable();
  std::lock_guard<std::mutex> guard(sessions.lock);
  const auto found = sessions.byServer.find(key);
  if (found == sessions.byServer.end()) return nullptr;
  SSL_SESSION_up_ref(found->second);
  return found->second;
}

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
    // Sessions to resume are kept by the agent itself, one per host and port (see Remember).
    SSL_CTX_set_session_cache_mode(made, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(made, Remember);
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

// One SSL call repeated until it succeeds or fails, waiting for the socket as it asks until
// the deadline or the stop: its result, 0 at a clean end of stream, or -1. *end tells how the
// peer ended the connection when it did: close_notify or the end of the stream (taken as
// clean, see SharedContext) are orderly; the socket's own error tells the rest.
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

std::unique_ptr<TlsSession> TlsSession::Open(SocketHandle sock, const std::string& host, int port,
                                             const Deadline& deadline, const StopToken& stop,
                                             std::string* failure) {
  SSL_CTX* context = SharedContext();
  if (context == nullptr) return nullptr;
  SSL* ssl = SSL_new(context);
  if (ssl == nullptr) return nullptr;
  std::unique_ptr<TlsSession> session(new TlsSession(sock, ssl));
  session->key_ = host + ":" + std::to_string(port);
  SSL_set_ex_data(ssl, SessionKeyIndex(), &session->key_);
  if (SSL_SESSION* last = LastSession(session->key_)) {
    SSL_set_session(ssl, last);  // verified when it was made, for this same host
    SSL_SESSION_free(last);
  }
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
    ReportHandshakeFailure(host, reason);
  }
  return nullptr;
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
