#pragma once

#include <atomic>
#include <cstddef>
#include <list>
#include <memory>
#include <string>
#include <thread>

#include "test_trust.h"

struct ssl_ctx_st;

// A TLS server for tests in front of a plain one: it listens on 127.0.0.1 at a free port,
// ends TLS with the given certificate and relays the bytes both ways to 127.0.0.1:upstream,
// one upstream connection for each connection it takes, made before the handshake (so a
// server that never takes the connection leaves the handshake unanswered). The buffers
// between the two sides are small and bounded: a server that never reads stalls the
// client's sends. The upstream closing ends the TLS session with close_notify, its reset
// resets the client's connection; the client closing shuts the upstream connection's sending
// side.
class TlsFront {
 public:
  // What the front holds in each direction at most, besides the sockets' own buffers.
  static constexpr std::size_t kRelayBytes = 16 * 1024;
  // The kernel buffers on the client's way in and on the way to the server.
  static constexpr int kSocketBufferBytes = 64 * 1024;
  static constexpr std::size_t kMaxConnections = 256;

  // tickets: session tickets sent after each handshake (TLS 1.3), for resumption; by default
  // none, so that nothing but the relay is written after the handshake.
  TlsFront(int upstreamPort, TestCertificate certificate, int tickets = 0);
  ~TlsFront();
  TlsFront(const TlsFront&) = delete;
  TlsFront& operator=(const TlsFront&) = delete;

  // Starts listening; the port, or 0 with the reason in error().
  int Start();
  // Closes the listener and ends every connection, within a tenth of a second or so.
  void Stop();

  int port() const { return port_; }
  const std::string& error() const { return error_; }

 private:
  struct Connection {
    std::thread thread;
    std::atomic<bool> done{false};
  };

  void AcceptLoop();
  void Relay(int client);
  int ConnectUpstream();
  // Waits for the two descriptors (events 0: not that one) or a stop, one slice at most;
  // false once the front is stopping.
  bool Wait(int a, short aEvents, int b, short bEvents);

  const int upstreamPort_;
  const TestCertificate certificate_;
  const int tickets_;
  ssl_ctx_st* context_ = nullptr;
  int listener_ = -1;
  int wake_ = -1;
  int port_ = 0;
  std::string error_;
  std::atomic<bool> stopping_{false};
  std::thread acceptor_;
  std::list<std::unique_ptr<Connection>> connections_;  // the acceptor's, then Stop()'s
};
