#pragma once

#include <memory>
#include <string>

#include "base/deadline.h"
#include "base/socket_calls.h"
#include "base/stop_token.h"
#include "http/timed_stream.h"

namespace morvanix {

class TlsClientContext;
class TlsSession;

// One connection to the remote server, with its TLS session in the HTTPS build. It may carry
// several posts, one after the other.
class RemoteConnection {
 public:
  // Connects (and in the HTTPS build runs the handshake) until done, the deadline or the
  // stop; nullptr on any failure. The HTTPS build's handshake is made with tls, which must
  // outlive the connection; without one, with a context of the connection's own (its trust
  // store parsed for it alone, no session resumed). The plain build takes no context.
  static std::unique_ptr<RemoteConnection> Open(const std::string& host, int port,
                                                TlsClientContext* tls, const Deadline& deadline,
                                                const StopToken& stop);
  ~RemoteConnection();
  RemoteConnection(const RemoteConnection&) = delete;
  RemoteConnection& operator=(const RemoteConnection&) = delete;

  const std::string& Host() const { return host_; }
  int Port() const { return port_; }
  ByteTransport& Transport();

  SocketHandle Socket() const { return sock_; }

  // How the connection, idle since its last reply, stands: usable for another request when
  // the server has neither closed nor reset it and has sent nothing unasked. Never waits.
  IdleState LookIdle();

  // Marks the end of a reply: the connection is idle from now.
  void MarkIdle() { idleSince_ = SteadyClock::now(); }
  SteadyClock::duration IdleFor() const { return SteadyClock::now() - idleSince_; }

  // The socket, for a time in the hands of the HTTP library, which may close it: this
  // connection no longer closes it until TakeBack.
  SocketHandle Lend();
  void TakeBack(SocketHandle sock);

 private:
  RemoteConnection(std::string host, int port, SocketHandle sock);

  std::string host_;
  int port_;
  SocketHandle sock_;
  bool owned_ = true;
  SteadyClock::time_point idleSince_ = SteadyClock::now();
  PlainTransport plain_;
#ifdef MORVANIX_REMOTE_TLS
  std::unique_ptr<TlsClientContext> ownContext_;  // before tls_: ends after it
  std::unique_ptr<TlsSession> tls_;
#endif
};

}  // namespace morvanix
