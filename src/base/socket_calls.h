#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/deadline.h"
#include "base/stop_token.h"
#include "base/wait.h"

namespace morvanix {

// The socket calls every TCP client of the agent makes, the same on every platform: the
// remote server's connection and a network adapter's. Sockets are non-blocking; every wait
// is one OS wait on the socket and the stop, bounded by a deadline.

// The OS's socket: the same type as the HTTP library's socket_t (int on POSIX, SOCKET on
// Windows), without bringing in the library.
#ifdef _WIN32
using SocketHandle = std::uintptr_t;
inline constexpr SocketHandle kNoSocket = ~SocketHandle{0};
#else
using SocketHandle = int;
inline constexpr SocketHandle kNoSocket = -1;
#endif

// What a connect went through, for a report in words (the diagnostics program's).
struct TcpConnectReport {
  std::vector<std::string> addresses;  // every address the host resolved to, once each
  std::string resolveError;            // set when it resolved to nothing
  std::string address;                 // the last one tried (the one connected when connected)
  std::string connectError;            // the reason in words when not connected
};

// Connects to host:port, trying the resolved addresses in turn, until one connects, the
// deadline passes or the stop comes; kNoSocket then. The socket is non-blocking, sends
// small writes at once (TCP_NODELAY) and is kept alive. Name resolution itself is the
// system's and cannot be cut short.
SocketHandle ConnectTcp(const std::string& host, int port, const Deadline& deadline,
                        const StopToken& stop, TcpConnectReport* report = nullptr);

// Waits until sock is readable (kRead) or writable (kWrite), the deadline passes or the
// stop comes (a listener is readable with a connection to accept). An error or a hang-up on
// the socket ends the wait as kReady or kHangUp, so that the next send or receive reports it.
WaitOutcome WaitForSocket(SocketHandle sock, Readiness what, const Deadline& deadline,
                          const StopToken& stop);

// One send or receive that never waits (and never raises SIGPIPE): the bytes moved, 0 from
// a receive at the peer's end of stream, -1 on failure or when it would have to wait
// (LastCallWouldBlock tells which).
std::ptrdiff_t SendSome(SocketHandle sock, const char* data, std::size_t size);
std::ptrdiff_t ReceiveSome(SocketHandle sock, char* data, std::size_t size);

// True when the last failed send or receive on this thread would only have had to wait.
bool LastCallWouldBlock();

// How a peer ended a connection, as a send or receive met it.
enum class PeerEnd {
  kNone,     // not ended by the peer (a wait, a local error), or not known
  kOrderly,  // its end of stream came first: it closed the connection, any reset after that
  kReset,    // a reset came without an end of stream before it
};

// What the last failed send or receive on this thread says of the peer's end. A receive
// that returned 0 is kOrderly by itself and needs no look here.
PeerEnd LastCallPeerEnd();

// How an idle connection stands, looked at without waiting and without taking a byte.
enum class IdleState {
  kUsable,   // nothing arrived, nothing wrong
  kEnded,    // the peer closed or reset it
  kUnasked,  // bytes arrived that nobody asked for
};
IdleState LookAtIdleSocket(SocketHandle sock);

bool SetNonBlocking(SocketHandle sock);

// Sends small writes at once instead of holding them for the peer's acknowledgement: a TLS
// request goes out as several records, and waiting would add a delayed ACK to every post.
void SendWithoutDelay(SocketHandle sock);

// Asks the system to probe a connection left idle, so that a peer gone without a word is
// noticed.
void KeepAlive(SocketHandle sock);

// Starts connecting a non-blocking socket: 0 connected, 1 under way, -1 refused at once.
int StartConnect(SocketHandle sock, const void* address, int length);

// After a wait for writability: true when the connection under way has been made.
bool ConnectionMade(SocketHandle sock);

void CloseSocket(SocketHandle sock);

// The socket's error state or the thread's last socket error, and either in words.
int LastSocketError();
std::string SocketErrorText(int error);

// One resolved address, as the system gives it to connect().
struct SocketAddress {
  int family = 0;
  std::array<unsigned char, 128> bytes{};  // room for any sockaddr
  int length = 0;
  std::string text;  // numeric, without the port
};

// The host's addresses for a TCP connection to port, in the resolver's order; empty, with
// error set, when it resolves to nothing.
std::vector<SocketAddress> ResolveTcp(const std::string& host, int port, std::string& error);

// A new non-blocking stream socket of the family; kNoSocket when the system refuses.
SocketHandle OpenStreamSocket(int family);

// The error code a connect reports when its deadline passed.
int TimedOutError();

// Closes the socket it holds when it goes, unless released.
class ScopedSocket {
 public:
  explicit ScopedSocket(SocketHandle sock = kNoSocket) : sock_(sock) {}
  ScopedSocket(const ScopedSocket&) = delete;
  ScopedSocket& operator=(const ScopedSocket&) = delete;
  ~ScopedSocket() { Reset(); }

  SocketHandle Get() const { return sock_; }
  SocketHandle Release() {
    const SocketHandle sock = sock_;
    sock_ = kNoSocket;
    return sock;
  }
  void Reset(SocketHandle sock = kNoSocket) {
    if (sock_ != kNoSocket) CloseSocket(sock_);
    sock_ = sock;
  }

 private:
  SocketHandle sock_;
};

}  // namespace morvanix
