#include "remote/tls_client_context.h"

#include <openssl/ssl.h>

#include "base/debug_output.h"
#include "remote/tls_session.h"

namespace morvanix {
namespace {

// Where a connection's TLS state points at its host:port. An index is OpenSSL's own
// registration, the same for every context of the process, so it stays a static.
int SessionKeyIndex() {
  static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

}  // namespace

TlsClientContext::~TlsClientContext() {
  for (auto& [key, session] : resumable_) SSL_SESSION_free(session);
  SSL_CTX_free(settings_);
}

ssl_ctx_st* TlsClientContext::Settings() {
  std::call_once(made_, [this] {
    // No configuration file: nothing in the environment may change how servers are checked.
    OPENSSL_init_ssl(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr);
    SSL_CTX* made = SSL_CTX_new(TLS_client_method());
    if (made == nullptr) return;
    SSL_CTX_set_min_proto_version(made, TLS1_2_VERSION);
    SSL_CTX_set_verify(made, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_mode(made, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // A server that closes without close_notify after a complete reply is no failure.
    SSL_CTX_set_options(made, SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_RENEGOTIATION);
    // Sessions to resume are kept here, one per host and port (see Remember).
    SSL_CTX_set_session_cache_mode(made, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_set_app_data(made, this);
    SSL_CTX_sess_set_new_cb(made, Remember);
    if (!detail::LoadSystemTrust(SSL_CTX_get_cert_store(made))) {
      DebugOutput("morvanix: no trusted certificates found; every HTTPS post will fail");
    }
    settings_ = made;
  });
  return settings_;
}

ssl_st* TlsClientContext::NewConnection(const std::string* key) {
  SSL_CTX* settings = Settings();
  if (settings == nullptr) return nullptr;
  SSL* ssl = SSL_new(settings);
  if (ssl == nullptr) return nullptr;
  SSL_set_ex_data(ssl, SessionKeyIndex(), const_cast<std::string*>(key));
  std::lock_guard<std::mutex> guard(lock_);
  const auto found = resumable_.find(*key);
  // Verified when it was made, for this same host; the connection takes its own reference.
  if (found != resumable_.end()) SSL_set_session(ssl, found->second);
  return ssl;
}

// Takes ownership of a session the server offered (1), keeping the newest per server. A
// TLS 1.3 server sends its tickets after the handshake, so this runs during any later read,
// on whichever thread reads.
int TlsClientContext::Remember(SSL* ssl, SSL_SESSION* session) {
  auto* self = static_cast<TlsClientContext*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
  const auto* key = static_cast<const std::string*>(SSL_get_ex_data(ssl, SessionKeyIndex()));
  if (self == nullptr || key == nullptr || SSL_SESSION_is_resumable(session) != 1) return 0;
  std::lock_guard<std::mutex> guard(self->lock_);
  SSL_SESSION*& kept = self->resumable_[*key];
  if (kept != nullptr) SSL_SESSION_free(kept);
  kept = session;
  return 1;
}

void TlsClientContext::ReportHandshakeFailure(const std::string& host, const std::string& reason) {
  if (!handshakeReports_.ShouldReport(reason, ReportLimiter::Clock::now())) return;
  const std::string line = "morvanix: TLS handshake with " + host + " failed: " + reason;
  DebugOutput(line.c_str());
}

}  // namespace morvanix
