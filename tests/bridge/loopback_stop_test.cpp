// Stopping the loopback server from another thread, and serving many connections at once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bridge/route_table.h"
#include "raw_http.h"
#include "serving_loopback.h"

using namespace morvanix;
using namespace std::chrono_literals;

namespace {

// The real routes plus "/slow", which holds its connection until the gate opens.
std::function<void(httplib::Server&)> RoutesWithSlow(Gate& gate) {
  return [&gate](httplib::Server& server) {
    RegisterRoutes(server, RouteTable());
    server.Get("/slow", [&gate](const httplib::Request&, httplib::Response& response) {
      gate.Wait();
      response.set_content(" ", "text/plain");
    });
  };
}

std::future<int> AsyncGet(int port, std::string target) {
  return std::async(std::launch::async, [port, target] {
    auto response = RawRequest(port, GetRequest("GET", target));
    return response ? response->status : -1;
  });
}

TEST(BridgeLoopbackConcurrency, StopWaitsForRunningHandlers) {
  Gate gate;
  ServingLoopback serving(RoutesWithSlow(gate));
  ASSERT_GT(serving.Port(), 0);
  std::future<int> slow = AsyncGet(serving.Port(), "/slow");
  ASSERT_TRUE(gate.WaitForWaiters(1));

  EXPECT_FALSE(serving.StopAndWait(400ms));
  gate.Open();
  EXPECT_TRUE(serving.HasReturnedWithin(2s));
  EXPECT_EQ(slow.get(), 200);
}

TEST(BridgeLoopbackConcurrency, StopEndsConnectionsWaitingForARequest) {
  Gate gate;
  ServingLoopback serving(RoutesWithSlow(gate));
  ASSERT_GT(serving.Port(), 0);
  // Each would otherwise keep the server for its read time-out (5 s).
  RawConnection silent(serving.Port());
  RawConnection kept(serving.Port());
  ASSERT_TRUE(kept.Send(GetRequest("GET", "/RSQ/x")));
  ASSERT_TRUE(kept.Read());
  RawConnection halfway(serving.Port());
  ASSERT_TRUE(halfway.Send("GET /RSQ/x HTTP/1.1\r\nHost: 127"));
  std::this_thread::sleep_for(100ms);

  EXPECT_TRUE(serving.StopAndWait(1s));
  for (RawConnection* each : {&silent, &kept, &halfway}) EXPECT_TRUE(each->ClosedWithin(1s));
}

TEST(BridgeLoopbackConcurrency, StopBeforeServingEndsTheLoopOnceItRuns) {
  struct Case {
    const char* name;
    bool stopBeforeBind;
  };
  for (const Case& c : {Case{"before bind", true}, Case{"between bind and serve", false}}) {
    SCOPED_TRACE(c.name);
    LoopbackServer server;
    if (c.stopBeforeBind) server.Stop();
    ASSERT_GT(server.Bind("127.0.0.1", 0), 0);
    if (!c.stopBeforeBind) server.Stop();
    std::future<bool> serving =
        std::async(std::launch::async, [&server] { return server.Serve(); });
    EXPECT_EQ(serving.wait_for(1s), std::future_status::ready);
    if (serving.wait_for(0s) != std::future_status::ready) {
      server.Stop();  // keeps a failure from hanging the test
    }
  }
}

TEST(BridgeLoopbackConcurrency, StopAtAnyMomentEndsTheLoop) {
  std::mt19937 random(12345);
  std::uniform_int_distribution<int> delayMicroseconds(0, 3000);
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE(round);
    LoopbackServer server;
    RegisterRoutes(server.Http(), RouteTable());
    const int port = server.Bind("127.0.0.1", 0);
    ASSERT_GT(port, 0);
    std::future<bool> serving =
        std::async(std::launch::async, [&server] { return server.Serve(); });
    std::future<int> call = AsyncGet(port, "/RSQ/x");
    std::this_thread::sleep_for(std::chrono::microseconds(delayMicroseconds(random)));
    server.Stop();
    const bool ended = serving.wait_for(2s) == std::future_status::ready;
    EXPECT_TRUE(ended);
    if (!ended) server.Stop();
    call.wait();
  }
}

TEST(BridgeLoopbackConcurrency, LongHandlersDoNotHoldUpOtherCalls) {
  Gate gate;
  ServingLoopback serving(RoutesWithSlow(gate));
  ASSERT_GT(serving.Port(), 0);

  std::vector<std::future<int>> slow;
  for (int i = 0; i < 12; ++i) slow.push_back(AsyncGet(serving.Port(), "/slow"));
  ASSERT_TRUE(gate.WaitForWaiters(12));

  const auto started = std::chrono::steady_clock::now();
  auto quick = RawRequest(serving.Port(), GetRequest("GET", "/RSQ/x"));
  ASSERT_TRUE(quick);
  EXPECT_EQ(quick->body, " ");
  EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);

  gate.Open();
  for (std::future<int>& each : slow) EXPECT_EQ(each.get(), 200);
}

TEST(BridgeLoopbackConcurrency, ConnectionsBeyondTheCapWaitForAFreeSlot) {
  Gate gate;
  LoopbackLimits limits;
  limits.maxConnections = 3;
  ServingLoopback serving(RoutesWithSlow(gate), limits);
  ASSERT_GT(serving.Port(), 0);

  std::vector<std::future<int>> slow;
  for (int i = 0; i < 3; ++i) slow.push_back(AsyncGet(serving.Port(), "/slow"));
  ASSERT_TRUE(gate.WaitForWaiters(3));

  std::future<int> waiting = AsyncGet(serving.Port(), "/RSQ/x");
  EXPECT_EQ(waiting.wait_for(500ms), std::future_status::timeout);

  gate.Open();
  EXPECT_EQ(waiting.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(waiting.get(), 200);
  for (std::future<int>& each : slow) EXPECT_EQ(each.get(), 200);
}

TEST(BridgeLoopbackConcurrency, TricklingConnectionsLoseTheirSlots) {
  Gate gate;
  LoopbackLimits limits;
  limits.maxConnections = 2;
  limits.requestTime = 1s;
  ServingLoopback serving(RoutesWithSlow(gate), limits);
  ASSERT_GT(serving.Port(), 0);

  // Both slots go to connections that send a byte every 100 ms and never finish a request.
  std::atomic<bool> done{false};
  std::vector<std::future<void>> tricklers;
  for (int i = 0; i < 2; ++i) {
    tricklers.push_back(std::async(std::launch::async, [&serving, &done] {
      RawConnection connection(serving.Port());
      const std::string head = "GET /RSQ/x HTTP/1.1\r\nX-Slow: ";
      for (std::size_t at = 0; !done && at < 100; ++at) {
        if (!connection.Send(at < head.size() ? head.substr(at, 1) : "a")) return;
        std::this_thread::sleep_for(100ms);
      }
    }));
  }
  std::this_thread::sleep_for(200ms);

  const auto started = std::chrono::steady_clock::now();
  std::future<int> stop = AsyncGet(serving.Port(), "/RSQ/x");
  const bool answered = stop.wait_for(3s) == std::future_status::ready;
  done = true;
  ASSERT_TRUE(answered);
  EXPECT_EQ(stop.get(), 200);
  EXPECT_GT(std::chrono::steady_clock::now() - started, 500ms);  // it did wait for a slot
  gate.Open();
}

}  // namespace
