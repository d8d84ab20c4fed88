// How the loopback server binds, queues and keeps connections.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bridge/route_table.h"
#include "raw_http.h"
#include "serving_loopback.h"

using namespace morvanix;
using namespace std::chrono_literals;

namespace {

TEST(BridgeLoopback, KeepsAConnectionForFiveRequestsThenCloses) {
  BridgeState agent;
  ServingLoopback serving(RoutesOf(agent));
  ASSERT_GT(serving.Port(), 0);
  RawConnection connection(serving.Port());
  ASSERT_TRUE(connection.Connected());

  for (int i = 1; i <= 5; ++i) {
    SCOPED_TRACE(i);
    ASSERT_TRUE(connection.Send(GetRequest("GET", "/RSQ/x")));
    auto response = connection.Read();
    ASSERT_TRUE(response);
    EXPECT_EQ(response->body, " ");
    if (i < 5) {
      EXPECT_EQ(response->Header("Keep-Alive"), "timeout=5, max=5");
      EXPECT_EQ(response->Header("Connection"), std::nullopt);
    } else {
      EXPECT_EQ(response->Header("Connection"), "close");
    }
  }
  EXPECT_TRUE(connection.ClosedWithin(2s));
}

TEST(BridgeLoopback, ClosesAnIdleConnectionAfterFiveSeconds) {
  BridgeState agent;
  ServingLoopback serving(RoutesOf(agent));
  ASSERT_GT(serving.Port(), 0);
  struct Case {
    const char* name;
    bool requestFirst;
  };
  // The wait for the first request is as long as the wait between requests.
  for (const Case& c : {Case{"before the first request", false}, Case{"after one", true}}) {
    SCOPED_TRACE(c.name);
    RawConnection connection(serving.Port());
    ASSERT_TRUE(connection.Connected());
    if (c.requestFirst) {
      ASSERT_TRUE(connection.Send(GetRequest("GET", "/RSQ/x")));
      ASSERT_TRUE(connection.Read());
    }
    const auto started = std::chrono::steady_clock::now();
    EXPECT_TRUE(connection.ClosedWithin(8s));
    const auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_GT(waited, 4500ms);
    EXPECT_LT(waited, 7s);
  }
}

// Sends start, then one byte of trickle every 100 ms. How long after start the server closed
// the connection, or nullopt when it was still open after limit.
std::optional<std::chrono::milliseconds> TrickleUntilClosed(RawConnection& connection,
                                                            const std::string& start,
                                                            const std::string& trickle,
                                                            std::chrono::milliseconds limit) {
  const auto started = std::chrono::steady_clock::now();
  const auto elapsed = [&] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 started);
  };
  connection.Send(start);
  for (std::size_t i = 0; elapsed() < limit; ++i) {
    if (connection.ClosedWithin(100ms)) return elapsed();
    if (!trickle.empty()) connection.Send(trickle.substr(i % trickle.size(), 1));
  }
  return std::nullopt;
}

TEST(BridgeLoopback, ClosesAConnectionWhoseRequestIsLate) {
  LoopbackLimits limits;
  limits.requestTime = 1s;
  BridgeState agent;
  ServingLoopback serving(RoutesOf(agent), limits);
  ASSERT_GT(serving.Port(), 0);
  struct Case {
    const char* name;
    bool answeredOneFirst;  // the late request is the second on its connection
    std::string start;
    std::string trickle;
  };
  const Case cases[] = {
      {"nothing sent", false, "", ""},
      {"head trickled", false, "GET /RSQ/x HTTP/1.1\r\n", "X-Slow: abcdefghijklmnopqrstuvwxyz"},
      {"body trickled", false, GetRequest("GET", "/RSQ/x", "Content-Length: 1000\r\n"), "a"},
      {"second head trickled", true, "GET /RSQ/x HTTP/1.1\r\n", "X-Slow: abcdefghijklmnopq"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RawConnection connection(serving.Port());
    ASSERT_TRUE(connection.Connected());
    if (c.answeredOneFirst) {
      ASSERT_TRUE(connection.Send(GetRequest("GET", "/RSQ/x")));
      ASSERT_TRUE(connection.Read());
    }
    // Without the bound the trickle would hold the connection until the sender gives up;
    // the per-read time-out (5 s) would close only the silent one.
    const auto closedAfter = TrickleUntilClosed(connection, c.start, c.trickle, 4s);
    ASSERT_TRUE(closedAfter);
    EXPECT_GT(*closedAfter, 800ms);
    EXPECT_LT(*closedAfter, 2500ms);
  }
}

TEST(BridgeLoopback, RequestTimeEndsOnceTheRequestIsIn) {
  BridgeState agent;
  LoopbackLimits limits;
  limits.requestTime = 1s;
  ServingLoopback serving(
      [&agent](httplib::Server& server) {
        RegisterRoutes(server, RouteTable(agent));
        server.Get("/slow", [](const httplib::Request&, httplib::Response& response) {
          std::this_thread::sleep_for(1500ms);
          response.set_content(" ", "text/plain");
        });
      },
      limits);
  ASSERT_GT(serving.Port(), 0);
  RawConnection connection(serving.Port());
  ASSERT_TRUE(connection.Connected());
  // A handler that takes longer than the request time still answers in full, and each
  // request on a connection has a time of its own.
  for (const char* target : {"/slow", "/RSQ/x"}) {
    SCOPED_TRACE(target);
    std::this_thread::sleep_for(600ms);
    ASSERT_TRUE(connection.Send(GetRequest("GET", target)));
    auto response = connection.Read(false, 5s);
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, 200);
  }
}

TEST(BridgeLoopback, SecondInstanceCannotBindTheSamePort) {
  LoopbackServer first{StopToken{}};
  const int port = first.Bind("127.0.0.1", 0);
  ASSERT_GT(port, 0);
  LoopbackServer second{StopToken{}};
  EXPECT_EQ(second.Bind("127.0.0.1", port), -1);
  // A failed bind leaves the server usable for another port.
  EXPECT_GT(second.Bind("127.0.0.1", 0), 0);
}

TEST(BridgeLoopback, BindingAgainAfterServingLeavesOtherSocketsAlone) {
  StopSource stop;
  stop.RequestStop();  // each Serve closes its listener and returns at once
  LoopbackServer reused(stop.Token());
  for (int round = 0; round < 2; ++round) {
    ASSERT_GT(reused.Bind("127.0.0.1", 0), 0);
    reused.Serve();
  }
  // The next socket is likely to get the descriptor number the served one had.
  LoopbackServer other{StopToken{}};
  const int port = other.Bind("127.0.0.1", 0);
  ASSERT_GT(port, 0);
  EXPECT_EQ(reused.Bind("127.0.0.1", port), -1);
  EXPECT_TRUE(RawConnection(port).Connected());
}

TEST(BridgeLoopback, RestartBindsWhileOldConnectionsLinger) {
  int port = 0;
  {
    BridgeState agent;
    ServingLoopback serving(RoutesOf(agent));
    port = serving.Port();
    ASSERT_GT(port, 0);
    // The server closes this connection first, which leaves it in TIME_WAIT on the port.
    RawConnection connection(port);
    ASSERT_TRUE(connection.Send(GetRequest("GET", "/RSQ/x", "Connection: close\r\n")));
    ASSERT_TRUE(connection.Read());
    ASSERT_TRUE(connection.ClosedWithin(2s));
    ASSERT_TRUE(serving.StopAndWait(2s));
  }
  LoopbackServer restarted{StopToken{}};
  EXPECT_EQ(restarted.Bind("127.0.0.1", port), port);
}

TEST(BridgeLoopback, AnswersOnlyOnTheAddressItWasGiven) {
  BridgeState agent;
  ServingLoopback serving(RoutesOf(agent));
  ASSERT_GT(serving.Port(), 0);
  EXPECT_TRUE(RawConnection(serving.Port(), "127.0.0.1").Connected());
  // Every 127/8 address reaches the loopback device, so this would connect to a server
  // bound to all addresses.
  EXPECT_FALSE(RawConnection(serving.Port(), "127.0.0.2").Connected());
}

// Starts a non-blocking connect; the caller polls for its completion.
int StartConnect(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(static_cast<std::uint16_t>(port));
  peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer);
  return fd;
}

TEST(BridgeLoopback, QueuesABurstOfConnectionsBeforeTheyAreAccepted) {
  // Bound and listening, but nothing accepts yet: every connection must wait in the queue.
  // With the library's own backlog of 5, all but the first few handshakes would stall for
  // the client's SYN retry, a second or more.
  LoopbackServer server{StopToken{}};
  const int port = server.Bind("127.0.0.1", 0);
  ASSERT_GT(port, 0);

  constexpr int kConnections = 200;
  std::vector<pollfd> pending;
  for (int i = 0; i < kConnections; ++i) pending.push_back({StartConnect(port), POLLOUT, 0});

  int established = 0;
  const auto deadline = std::chrono::steady_clock::now() + 500ms;
  while (established < kConnections && std::chrono::steady_clock::now() < deadline) {
    ::poll(pending.data(), pending.size(), 50);
    for (pollfd& each : pending) {
      if (each.fd >= 0 && (each.revents & POLLOUT)) {
        int error = 0;
        socklen_t length = sizeof error;
        ::getsockopt(each.fd, SOL_SOCKET, SO_ERROR, &error, &length);
        if (error == 0) ++established;
        ::close(each.fd);
        each.fd = -1;
      }
      each.revents = 0;
    }
  }
  for (pollfd& each : pending) {
    if (each.fd >= 0) ::close(each.fd);
  }
  EXPECT_EQ(established, kConnections);
}

}  // namespace
