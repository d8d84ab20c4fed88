// A post ends at its limit, and soon after a stop, whatever the server does: never takes the
// connection, never reads the request, or reads it and never answers.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "remote/agent_transport.h"
#include "remote/remote_endpoint.h"
#include "remote/remote_socket.h"

using namespace morvanix;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

enum class Peer { kNeverAccepts, kNeverReads, kNeverAnswers };

// A listening socket on a free loopback port that behaves as `peer` says. Written with the
// agent's own portable socket calls, so that the same peers run on POSIX and on Windows.
class StuckServer {
 public:
  explicit StuckServer(Peer peer) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    // A small receive buffer, inherited by accepted connections: a body that is never read
    // fills it quickly.
    const int small = 4096;
    ::setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&small),
                 sizeof small);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener_, 0) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      return;
    }
    port_ = ntohs(address.sin_port);
    if (peer == Peer::kNeverAccepts) {
      // A backlog of 0 holds one connection; with it taken, further handshakes get no answer.
      for (int i = 0; i < 2; ++i) {
        const socket_t filler = ::socket(AF_INET, SOCK_STREAM, 0);
        SetNonBlocking(filler);
        StartConnect(filler, reinterpret_cast<sockaddr*>(&address), static_cast<int>(length));
        fillers_.push_back(filler);
      }
      std::this_thread::sleep_for(100ms);
    } else {
      serving_ = std::thread([this, peer] { Serve(peer); });
    }
  }
  StuckServer(const StuckServer&) = delete;
  StuckServer& operator=(const StuckServer&) = delete;
  ~StuckServer() {
    done_ = true;
    if (serving_.joinable()) serving_.join();
    for (socket_t filler : fillers_) httplib::detail::close_socket(filler);
    httplib::detail::close_socket(listener_);
  }

  int Port() const { return port_; }

 private:
  // Takes one connection, waiting in slices until the test ends, then holds it: unread, or
  // read and never answered.
  void Serve(Peer peer) {
    for (;;) {
      if (done_) return;
      const SocketWait wait = WaitForSocket(listener_, false, 10ms);
      if (wait == SocketWait::kFailed) return;
      if (wait == SocketWait::kReady) break;
    }
    const socket_t connection = ::accept(listener_, nullptr, nullptr);
    if (connection == INVALID_SOCKET) return;
    SetNonBlocking(connection);
    char buffer[4096];
    while (!done_) {
      if (peer == Peer::kNeverAnswers) {
        const ssize_t got = ReceiveSome(connection, buffer, sizeof buffer);
        if (got == 0 || (got < 0 && !LastCallWouldBlock())) break;
      }
      std::this_thread::sleep_for(10ms);
    }
    httplib::detail::close_socket(connection);
  }

  socket_t listener_ = INVALID_SOCKET;
  int port_ = 0;
  std::vector<socket_t> fillers_;
  std::atomic<bool> done_{false};
  std::thread serving_;
};

struct Case {
  const char* name;
  Peer peer;
  std::size_t bodyBytes;
};

const Case kCases[] = {
    {"never accepts the connection", Peer::kNeverAccepts, 100},
    {"never reads the request", Peer::kNeverReads, 16u << 20},
    {"reads the request and never answers", Peer::kNeverAnswers, 100},
};

// Runs one post on its own thread; how long it took, or nullopt when it outlived `wait`.
std::optional<Clock::duration> TimedPost(const RemoteEndpoint& remote, const std::string& body,
                                         Clock::duration limit, Clock::duration wait) {
  const auto started = Clock::now();
  auto post = std::async(std::launch::async,
                         [&remote, &body, limit] { return PostAgentMessage(remote, body, limit); });
  if (post.wait_for(wait) != std::future_status::ready) {
    post.wait();  // the whole limit, at worst
    return std::nullopt;
  }
  EXPECT_EQ(post.get(), "");
  return Clock::now() - started;
}

TEST(AgentTransportDeadline, EveryStepOfAPostKeepsToTheWholeLimit) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    StuckServer server(c.peer);
    ASSERT_GT(server.Port(), 0);
    const auto took = TimedPost(RemoteEndpoint{"127.0.0.1", server.Port()},
                                std::string(c.bodyBytes, '7'), 1s, 3s);
    ASSERT_TRUE(took) << "still posting 3 s into a post limited to 1 s";
    EXPECT_GE(*took, 900ms);
  }
}

TEST(AgentTransportDeadline, AStopEndsAPostWithinASecond) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    StuckServer server(c.peer);
    ASSERT_GT(server.Port(), 0);
    std::atomic<bool> stop{false};
    RemoteEndpoint remote{"127.0.0.1", server.Port()};
    remote.stopped = [&stop] { return stop.load(); };
    std::thread stopper([&stop] {
      std::this_thread::sleep_for(300ms);
      stop = true;
    });
    const auto took = TimedPost(remote, std::string(c.bodyBytes, '7'), 30s, 1300ms);
    stopper.join();
    EXPECT_TRUE(took) << "a post went on more than a second after a stop";
  }
}

}  // namespace
