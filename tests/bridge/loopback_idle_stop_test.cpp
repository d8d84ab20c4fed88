// A stop reaches an accept loop that is waiting for its next connection, on every platform.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "bridge/loopback_server.h"

using namespace morvanix;
using namespace std::chrono_literals;

namespace {

TEST(BridgeLoopbackConcurrency, StopWakesAnIdleAcceptLoop) {
  LoopbackServer server;
  ASSERT_GT(server.Bind("127.0.0.1", 0), 0);
  std::future<bool> serving = std::async(std::launch::async, [&server] { return server.Serve(); });
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (!server.IsRunning() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  std::this_thread::sleep_for(300ms);  // well into the loop's wait for a connection

  const auto stopped = std::chrono::steady_clock::now();
  server.Stop();
  EXPECT_EQ(serving.wait_for(5s), std::future_status::ready);
  EXPECT_LT(std::chrono::steady_clock::now() - stopped, 500ms);
}

}  // namespace
