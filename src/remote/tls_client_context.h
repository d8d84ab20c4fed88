#pragma once

#include <map>
#include <mutex>
#include <string>

#include "remote/report_limiter.h"

struct ssl_ctx_st;
struct ssl_session_st;
struct ssl_st;

namespace morvanix {

// What the HTTPS connections of one agent share: the TLS settings with the system's trust
// store (parsed once, at the first handshake: a bundle of some 150 certificates costs tens
// of milliseconds, too much for each post), the last resumable session of each host:port,
// and the limit on the handshake failure lines. Callable from any thread. Every session
// made with it must have ended before it goes.
class TlsClientContext final {
 public:
  TlsClientContext() = default;
  ~TlsClientContext();
  TlsClientContext(const TlsClientContext&) = delete;
  TlsClientContext& operator=(const TlsClientContext&) = delete;

  // A new connection's TLS state, set to resume the last session of the server that *key
  // (host:port) names; the key must outlive it. nullptr when OpenSSL could not make it.
  ssl_st* NewConnection(const std::string* key);

  // Writes the debug line of a failed handshake, once a minute per reason.
  void ReportHandshakeFailure(const std::string& host, const std::string& reason);

 private:
  ssl_ctx_st* Settings();
  static int Remember(ssl_st* ssl, ssl_session_st* session);

  std::once_flag made_;
  ssl_ctx_st* settings_ = nullptr;
  std::mutex lock_;
  std::map<std::string, ssl_session_st*> resumable_;
  ReportLimiter handshakeReports_;
};

}  // namespace morvanix
