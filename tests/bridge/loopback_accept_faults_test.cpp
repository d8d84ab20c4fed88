// The loopback server's accept loop meets failed accepts through its seam, on every platform.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "bridge/loopback_server.h"

#if defined(_WIN32)
#include <winsock2.h>
#else
#include <cerrno>
#endif

using namespace morvanix;
using namespace std::chrono_literals;

namespace {

#if defined(_WIN32)
constexpr int kResetBeforeAccept = WSAECONNRESET;
constexpr int kNoBuffers = WSAENOBUFS;
constexpr int kNotASocket = WSAENOTSOCK;
#else
constexpr int kResetBeforeAccept = ECONNABORTED;
constexpr int kNoBuffers = EMFILE;
constexpr int kNotASocket = ENOTSOCK;
#endif

LoopbackLimits FastLimits() {
  LoopbackLimits limits;
  limits.acceptRetry = AcceptRetryPolicy{1ms, 20ms, 5};
  limits.rebindTries = 3;
  limits.rebindWait = 200ms;
  return limits;
}

// A server on a free port whose accepts fail with `errors`, one by one, before they reach
// the platform's accept.
class FailingAccepts {
 public:
  FailingAccepts(std::vector<int> errors, LoopbackLimits limits = FastLimits())
      : server_(stop_.Token(), limits), errors_(std::move(errors)) {
    server_.Http().Get("/ping", [](const httplib::Request&, httplib::Response& response) {
      response.set_content("pong", "text/plain");
    });
    server_.UseAcceptCall([this](socket_t listener) {
      const std::size_t next = calls_.fetch_add(1);
      if (next < errors_.size()) {
        AcceptedSocket failed;
        failed.error = errors_[next];
        return failed;
      }
      return AcceptConnection(listener);
    });
    port_ = server_.Bind("127.0.0.1", 0);
    serving_ = std::async(std::launch::async, [this] { return server_.Serve(); });
  }
  ~FailingAccepts() {
    Stop();
    if (serving_.valid()) serving_.wait();
  }

  int Port() const { return port_; }
  std::size_t Calls() const { return calls_.load(); }
  void Stop() { stop_.RequestStop(); }
  std::future<bool>& Serving() { return serving_; }

 private:
  StopSource stop_;
  LoopbackServer server_;
  std::vector<int> errors_;
  std::atomic<std::size_t> calls_{0};
  int port_ = -1;
  std::future<bool> serving_;
};

bool Pings(int port) {
  httplib::Client client("127.0.0.1", port);
  client.set_connection_timeout(2s);
  client.set_read_timeout(2s);
  const httplib::Result result = client.Get("/ping");
  return result && result->status == 200 && result->body == "pong";
}

// Calls until one is answered; a listener being bound again refuses calls for a while.
bool PingsWithin(int port, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!Pings(port)) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

// A call in the background: the loop waits for a connection before it accepts, so the
// injected failures come only once a caller is there.
std::future<bool> PingInTheBackground(int port) {
  return std::async(std::launch::async, [port] { return Pings(port); });
}

TEST(BridgeLoopbackAcceptFaults, ServesOnAfterFailedAccepts) {
  struct Case {
    const char* name;
    std::vector<int> errors;
  };
  const std::vector<Case> cases = {
      {"a caller reset before the accept", {kResetBeforeAccept}},
      {"descriptors or buffers ran out", {kNoBuffers, kNoBuffers, kNoBuffers}},
      {"passing failures that persist: bound again", std::vector<int>(5, kResetBeforeAccept)},
      {"the listener lost: bound again", {kNotASocket}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FailingAccepts server(c.errors);
    ASSERT_GT(server.Port(), 0);
    EXPECT_TRUE(PingsWithin(server.Port(), 3s));
    EXPECT_GT(server.Calls(), c.errors.size());  // every failure was met, then a real accept
    EXPECT_TRUE(Pings(server.Port()));
    EXPECT_EQ(server.Serving().wait_for(0s), std::future_status::timeout);
    server.Stop();
    ASSERT_EQ(server.Serving().wait_for(2s), std::future_status::ready);
    EXPECT_TRUE(server.Serving().get());
  }
}

TEST(BridgeLoopbackAcceptFaults, FailsWhenTheEndpointCannotBeHadAgain) {
  FailingAccepts server({kNotASocket});
  ASSERT_GT(server.Port(), 0);
  std::future<bool> caller = PingInTheBackground(server.Port());
  // Whoever takes the port while the lost listener is closed keeps it.
  LoopbackServer taker{StopToken{}};
  const auto deadline = std::chrono::steady_clock::now() + 2s;
  while (taker.Bind("127.0.0.1", server.Port()) < 0 &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  ASSERT_EQ(server.Serving().wait_for(5s), std::future_status::ready);
  EXPECT_FALSE(server.Serving().get());
}

TEST(BridgeLoopbackAcceptFaults, TheConnectionCapLeavesAReserve) {
  // Every connection may need kDescriptorsPerConnection descriptors; kDescriptorReserve stay
  // free for the rest of the process. The cap is the most connections that fit, at least one.
  const auto fits = [](std::size_t connections, std::size_t limit) {
    return connections * kDescriptorsPerConnection + kDescriptorReserve <= limit;
  };
  for (std::size_t limit : {std::size_t{SIZE_MAX}, std::size_t{4096}, std::size_t{1024},
                            std::size_t{128}, std::size_t{67}, std::size_t{10}, std::size_t{0}}) {
    for (std::size_t wanted : {std::size_t{1024}, std::size_t{8}, std::size_t{1}}) {
      SCOPED_TRACE(std::to_string(wanted) + " wanted, limit " + std::to_string(limit));
      const std::size_t cap = ConnectionCapWithin(wanted, limit);
      EXPECT_GE(cap, 1u);
      EXPECT_LE(cap, wanted);
      EXPECT_TRUE(cap == 1 || fits(cap, limit));
      EXPECT_TRUE(cap == wanted || !fits(cap + 1, limit));
    }
  }
}

}  // namespace
