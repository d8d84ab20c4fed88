#pragma once

#include <httplib.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "remote/client_socket.h"

struct ssl_st;
struct x509_store_st;

namespace morvanix {

// One TLS session over a post's connection: the handshake checks the server's certificate
// against the system's trust store (loaded once per process) and for the host the agent
// asked for, TLS 1.2 at least. Every wait is a slice, as on a plain connection.
class TlsSession {
 public:
  // Runs the handshake on a connected non-blocking socket until it succeeds, fails, the
  // deadline passes or stopped() says so. A failure is reported through debug output with
  // its reason (once a minute per reason); nullptr then, with the reason also in *failure
  // when given (a timeout or a stop leaves it empty).
  static std::unique_ptr<TlsSession> Open(socket_t sock, const std::string& host,
                                          ClientClock::time_point deadline,
                                          const std::function<bool()>& stopped,
                                          std::string* failure = nullptr);
  ~TlsSession();
  TlsSession(const TlsSession&) = delete;
  TlsSession& operator=(const TlsSession&) = delete;

  // As ClientSocketStream's: data moved, or -1 after one slice without any, or at once on
  // an error; 0 at the end of the stream.
  ssize_t Read(char* data, size_t size);
  ssize_t Write(const char* data, size_t size);
  socket_t Socket() const { return sock_; }
  // The protocol version agreed on ("TLSv1.3").
  std::string Version() const;

 private:
  TlsSession(socket_t sock, ssl_st* ssl) : sock_(sock), ssl_(ssl) {}

  socket_t sock_;
  ssl_st* ssl_;
};

// The library's stream over a TLS session.
class TlsStream final : public httplib::Stream {
 public:
  explicit TlsStream(TlsSession& session) : session_(session) {}

  bool is_readable() const override { return true; }
  bool is_writable() const override { return true; }
  ssize_t read(char* ptr, size_t size) override { return session_.Read(ptr, size); }
  ssize_t write(const char* ptr, size_t size) override { return session_.Write(ptr, size); }
  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    ip.clear();
    port = 0;
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    ip.clear();
    port = 0;
  }
  socket_t socket() const override { return session_.Socket(); }

 private:
  TlsSession& session_;
};

namespace detail {
// Adds the operating system's trusted root certificates to store: the system bundle and
// folder compiled into OpenSSL on Linux (never the environment's choice), the ROOT store on
// Windows. False when none could be added.
bool LoadSystemTrust(x509_store_st* store);
}  // namespace detail

}  // namespace morvanix
