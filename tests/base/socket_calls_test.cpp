// The one TCP connect: it reaches a listening port, names why it did not, and ends at its
// deadline or the stop when the peer never takes the connection.
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "base/socket_calls.h"
#include "stop_later.h"

using namespace morvanix;
using namespace std::chrono_literals;

namespace {

enum class Peer { kListens, kClosed, kNeverAccepts, kUnknownHost };

// A loopback listener as the row wants it; the port it has (or had).
class Listener {
 public:
  explicit Listener(Peer peer) {
    std::string unused;
    ResolveTcp("127.0.0.1", 1, unused);  // starts the socket library where it must be
    sock_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(sock_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::getsockname(sock_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      return;
    }
    port_ = ntohs(address.sin_port);
    if (peer == Peer::kClosed) return;  // bound, never listening: refused
    ::listen(sock_, 0);
    if (peer == Peer::kNeverAccepts) {
      // A backlog of 0 holds one connection; with it taken, further handshakes go unanswered.
      for (int i = 0; i < 2; ++i) {
        fillers_.push_back(OpenStreamSocket(AF_INET));
        StartConnect(fillers_.back(), &address, static_cast<int>(length));
      }
      std::this_thread::sleep_for(100ms);
    }
  }
  ~Listener() {
    for (SocketHandle filler : fillers_) CloseSocket(filler);
    CloseSocket(sock_);
  }
  int Port() const { return port_; }

 private:
  SocketHandle sock_ = kNoSocket;
  int port_ = 0;
  std::vector<SocketHandle> fillers_;
};

struct Row {
  const char* name;
  Peer peer;
  bool stopAfter300ms;
  bool connects;
  std::string TcpConnectReport::*said;  // the field that tells why not
};

const Row kRows[] = {
    {"a listening port", Peer::kListens, false, true, nullptr},
    {"a port nobody listens on", Peer::kClosed, false, false, &TcpConnectReport::connectError},
    {"a listener that never takes it, to the deadline", Peer::kNeverAccepts, false, false,
     &TcpConnectReport::connectError},
    {"a listener that never takes it, to the stop", Peer::kNeverAccepts, true, false,
     &TcpConnectReport::connectError},
    {"a name that resolves to nothing", Peer::kUnknownHost, false, false,
     &TcpConnectReport::resolveError},
};

TEST(SocketCalls, ConnectTcpRows) {
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.name);
    Listener listener(row.peer);
    ASSERT_GT(listener.Port(), 0);
    StopSource stop;
    StopLater stopper(stop, 300ms, row.stopAfter300ms);
    const auto started = std::chrono::steady_clock::now();
    TcpConnectReport report;
    ScopedSocket sock(ConnectTcp(row.peer == Peer::kUnknownHost ? "host.invalid" : "127.0.0.1",
                                 listener.Port(), Deadline::After(1s), stop.Token(), &report));
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(sock.Get() != kNoSocket, row.connects);
    EXPECT_LT(took, row.stopAfter300ms ? 900ms : 1900ms);
    if (row.said != nullptr) {
      EXPECT_NE(report.*row.said, "");
    }
    if (row.peer != Peer::kUnknownHost) {
      EXPECT_EQ(report.address, "127.0.0.1");
    }
  }
}

}  // namespace
