// The loopback server's one stop, whenever it comes, on every platform: the accept loop ends
// and every connection waiting for a request is closed; a handler under way is waited for.
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/socket_calls.h"
#include "bridge/loopback_server.h"
#include "serving_loopback.h"

#if defined(_WIN32)
#include <winsock2.h>
#else
#include <cerrno>
#endif

using namespace morvanix;
using namespace std::chrono_literals;

namespace {

#if defined(_WIN32)
constexpr int kNoBuffers = WSAENOBUFS;
constexpr int kNotASocket = WSAENOTSOCK;
#else
constexpr int kNoBuffers = EMFILE;
constexpr int kNotASocket = ENOTSOCK;
#endif

// A client connection made with the agent's own socket calls, so that the table runs on
// every platform.
class PlainConnection {
 public:
  explicit PlainConnection(int port)
      : sock_(ConnectTcp("127.0.0.1", port, Deadline::After(2s), StopToken())) {}

  bool Connected() const { return sock_.Get() != kNoSocket; }

  // A few bytes, which one send on a fresh connection takes whole.
  bool Send(const std::string& bytes) {
    return SendSome(sock_.Get(), bytes.data(), bytes.size()) ==
           static_cast<std::ptrdiff_t>(bytes.size());
  }

  // How the next read within the limit ends: bytes (> 0), the server's close or reset (0),
  // or nothing yet (-1).
  std::ptrdiff_t Receive(std::chrono::milliseconds limit) {
    char bytes[512];
    if (WaitForSocket(sock_.Get(), Readiness::kRead, Deadline::After(limit), StopToken()) ==
        WaitOutcome::kTimedOut) {
      return -1;
    }
    const std::ptrdiff_t got = ReceiveSome(sock_.Get(), bytes, sizeof bytes);
    return got < 0 && !LastCallWouldBlock() ? 0 : got;
  }

  // True when the server closed the connection within the limit; what it sent first is
  // read and dropped.
  bool ClosedWithin(std::chrono::milliseconds limit) {
    std::ptrdiff_t got = 0;
    while ((got = Receive(limit)) > 0) {
    }
    return got == 0;
  }

 private:
  ScopedSocket sock_;
};

// A stop of its own and a server answering "/ping" at once; what a row makes of it.
struct StopScene {
  explicit StopScene(const LoopbackLimits& limits) : server(stop.Token(), limits) {
    server.Http().Get("/ping", [](const httplib::Request&, httplib::Response& response) {
      response.set_content("pong", "text/plain");
    });
  }

  void Bind() { port = server.Bind("127.0.0.1", 0); }
  void Serve() {
    serving = std::async(std::launch::async, [this] { return server.Serve(); });
  }
  void BindAndServe() {
    Bind();
    Serve();
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!server.IsRunning() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(1ms);
    }
  }
  // Accepts go through a seam that fails the first one with `error`.
  void FailFirstAcceptWith(int error) {
    server.UseAcceptCall([this, error](socket_t listener) {
      if (accepts.fetch_add(1) == 0) {
        AcceptedSocket failed;
        failed.error = error;
        return failed;
      }
      return AcceptConnection(listener);
    });
  }
  // A caller whose connection waits in the queue; once its accept has been tried and
  // failed, the loop is in the wait that follows.
  void CallAndWaitForTheFailure() {
    callers.push_back(std::make_unique<PlainConnection>(port));
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (accepts.load() == 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(1ms);
    }
    std::this_thread::sleep_for(50ms);
  }

  StopSource stop;
  LoopbackServer server;
  int port = -1;
  std::future<bool> serving;
  std::atomic<int> accepts{0};
  // Connections served and waiting for a request: the stop must close each.
  std::vector<std::unique_ptr<PlainConnection>> waiting;
  // Connections whose fate the row leaves open.
  std::vector<std::unique_ptr<PlainConnection>> callers;
};

// The loop in the wait that follows a first accept failed with `error`.
std::function<void(StopScene&)> AfterAFailedAccept(int error) {
  return [error](StopScene& scene) {
    scene.FailFirstAcceptWith(error);
    scene.BindAndServe();
    scene.CallAndWaitForTheFailure();
  };
}

LoopbackLimits SlowRetries() {
  LoopbackLimits limits;
  limits.acceptRetry = AcceptRetryPolicy{10s, 10s, 5};
  limits.rebindWait = 10s;
  return limits;
}

struct StopMoment {
  const char* when;
  std::function<void(StopScene&)> before;  // brings the server to the moment of the stop
  std::function<void(StopScene&)> after;   // what the test still does after it
  std::chrono::milliseconds endsWithin;    // Serve returns this soon after the stop
  int rounds = 1;
  LoopbackLimits limits = {};
};

TEST(BridgeLoopbackConcurrency, TheStopEndsTheLoopWheneverItComes) {
  std::mt19937 random(12345);
  std::uniform_int_distribution<int> delayMicroseconds(0, 3000);
  const std::vector<StopMoment> moments = {
      {"before the bind", [](StopScene&) {},
       [](StopScene& scene) {
         scene.Bind();
         scene.Serve();
       },
       1s},
      {"between the bind and the loop", [](StopScene& scene) { scene.Bind(); },
       [](StopScene& scene) { scene.Serve(); }, 1s},
      {"while the loop waits for a connection",
       [](StopScene& scene) {
         scene.BindAndServe();
         std::this_thread::sleep_for(300ms);
       },
       nullptr, 500ms},
      {"while connections wait for a request",
       [](StopScene& scene) {
         scene.BindAndServe();
         // Each would otherwise keep the server for its read time-out (5 s).
         for (int i = 0; i < 3; ++i) {
           scene.waiting.push_back(std::make_unique<PlainConnection>(scene.port));
         }
         scene.waiting[1]->Send("GET /ping HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
         scene.waiting[1]->Receive(2s);
         scene.waiting[2]->Send("GET /ping HTTP/1.1\r\nHost: 127");
         std::this_thread::sleep_for(100ms);
       },
       nullptr, 1s},
      {"at any moment of a call",
       [&](StopScene& scene) {
         scene.BindAndServe();
         scene.callers.push_back(std::make_unique<PlainConnection>(scene.port));
         scene.callers.back()->Send("GET /ping HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
         std::this_thread::sleep_for(std::chrono::microseconds(delayMicroseconds(random)));
       },
       nullptr, 2s, 40},
      {"in the wait after a failed accept", AfterAFailedAccept(kNoBuffers), nullptr, 1s, 1,
       SlowRetries()},
      {"in the wait before the lost listener is bound again", AfterAFailedAccept(kNotASocket),
       nullptr, 1s, 1, SlowRetries()},
  };
  for (const StopMoment& moment : moments) {
    for (int round = 0; round < moment.rounds; ++round) {
      SCOPED_TRACE(std::string(moment.when) + ", round " + std::to_string(round));
      StopScene scene(moment.limits);
      moment.before(scene);
      scene.stop.RequestStop();
      if (moment.after) moment.after(scene);
      ASSERT_TRUE(scene.serving.valid());
      const bool ended = scene.serving.wait_for(moment.endsWithin) == std::future_status::ready;
      EXPECT_TRUE(ended);
      for (const auto& connection : scene.waiting) {
        EXPECT_TRUE(connection->Connected());
        EXPECT_TRUE(connection->ClosedWithin(1s));
      }
      if (ended) {
        EXPECT_TRUE(scene.serving.get()) << "a stop is a clean end";
      }
    }
  }
}

TEST(BridgeLoopbackConcurrency, TheStopWaitsForRunningHandlers) {
  Gate gate;
  StopScene scene(LoopbackLimits{});
  scene.server.Http().Get("/slow", [&gate](const httplib::Request&, httplib::Response& response) {
    gate.Wait();
    response.set_content(" ", "text/plain");
  });
  scene.BindAndServe();
  ASSERT_GT(scene.port, 0);
  const int port = scene.port;
  std::future<int> slow = std::async(std::launch::async, [port] {
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(20s);
    const httplib::Result result = client.Get("/slow");
    return result ? result->status : -1;
  });
  ASSERT_TRUE(gate.WaitForWaiters(1));

  scene.stop.RequestStop();
  EXPECT_EQ(scene.serving.wait_for(400ms), std::future_status::timeout);
  gate.Open();
  EXPECT_EQ(scene.serving.wait_for(2s), std::future_status::ready);
  EXPECT_EQ(slow.get(), 200);
}

}  // namespace
