#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "http/timed_stream.h"

struct ssl_st;
struct x509_store_st;

namespace morvanix {

class TlsClientContext;

// One TLS session over a connection to the remote server: the handshake checks the server's
// certificate against the system's trust store (its context's) and for the host the agent
// asked for, TLS 1.2 at least. A new connection to the same host and port with the same
// context resumes the last session the server offered a ticket for, where the server allows
// it. Every wait is one wait on the socket with the deadline and the stop.
class TlsSession final : public ByteTransport {
 public:
  // Runs the handshake on a connected non-blocking socket until it succeeds, fails, the
  // deadline passes or the stop comes. A failure is reported through debug output with its
  // reason (once a minute per reason and context); nullptr then, with the reason also in
  // *failure when given (a timeout or a stop leaves it empty). The port names the resumable
  // session. The session must end before its context.
  static std::unique_ptr<TlsSession> Open(TlsClientContext& context, SocketHandle sock,
                                          const std::string& host, int port,
                                          const Deadline& deadline, const StopToken& stop,
                                          std::string* failure = nullptr);
  ~TlsSession() override;
  TlsSession(const TlsSession&) = delete;
  TlsSession& operator=(const TlsSession&) = delete;

  std::ptrdiff_t Read(char* data, std::size_t size, const Deadline& deadline,
                      const StopToken& stop) override;
  std::ptrdiff_t Write(const char* data, std::size_t size, const Deadline& deadline,
                       const StopToken& stop) override;
  SocketHandle Socket() const override { return sock_; }

  // How the idle connection stands: usable when what arrived since the last reply was only
  // the server's session tickets; ended at an alert, close_notify or the end of the stream.
  // Never waits.
  IdleState LookIdle();

  // The protocol version agreed on ("TLSv1.3").
  std::string Version() const;
  // Whether the handshake resumed an earlier session.
  bool Resumed() const;

 private:
  explicit TlsSession(SocketHandle sock) : sock_(sock) {}

  SocketHandle sock_;
  ssl_st* ssl_ = nullptr;
  std::string key_;  // host:port, naming the session to resume
};

namespace detail {
// Adds the operating system's trusted root certificates to store: the system bundle and
// folder compiled into OpenSSL on Linux (never the environment's choice), the ROOT store on
// Windows. False when none could be added.
bool LoadSystemTrust(x509_store_st* store);
}  // namespace detail

}  // namespace morvanix
