// Serving many connections at once: slow handlers, the connection cap, trickling senders.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
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
std::function<void(httplib::Server&)> RoutesWithSlow(Gate& gate, BridgeState& agent) {
  return [&gate, &agent](httplib::Server& server) {
    RegisterRoutes(server, RouteTable(agent));
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

TEST(BridgeLoopbackConcurrency, LongHandlersDoNotHoldUpOtherCalls) {
  Gate gate;
  BridgeState agent;
  ServingLoopback serving(RoutesWithSlow(gate, agent));
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
  BridgeState agent;
  LoopbackLimits limits;
  limits.maxConnections = 3;
  ServingLoopback serving(RoutesWithSlow(gate, agent), limits);
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
  BridgeState agent;
  LoopbackLimits limits;
  limits.maxConnections = 2;
  limits.requestTime = 1s;
  ServingLoopback serving(RoutesWithSlow(gate, agent), limits);
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
