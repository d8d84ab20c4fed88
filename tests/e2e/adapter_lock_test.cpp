#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "agent_fixture.h"

using namespace std::chrono_literals;

namespace {

constexpr const char* kTwoCommands = R"({"id": 1, "command": "{\"1\":\"ATRV\",\"2\":\"010C\"}"})";

class AdapterLock : public AgentFixture {};

// Requests, a series, agent checks and stops from several connections at once: the
// simulator counts every command that reaches it before it has finished the previous one,
// and that count must stay zero. A stop must be answered while the series runs.
TEST_F(AdapterLock, ConcurrentCallsNeverInterleaveOnTheAdapter) {
  AttachAdapter(3);
  StartAgent();
  ASSERT_TRUE(Get("/AC/s0"));
  for (int i = 0; i < 6; ++i) stub_.Enqueue("s1", kTwoCommands);
  stub_.Enqueue("s2", R"({"id": 2, "command": "{\"1\":\"010D\"}"})");

  // A series is running when the burst starts; the burst's /RQ/ calls end it.
  auto series = std::async(std::launch::async, [this] { return Get("/RMQ/s2"); });
  ASSERT_TRUE(stub_.WaitForMessages(stub_.Messages().size() + 3, 60s));
  std::vector<std::future<httplib::Result>> calls;
  for (int i = 0; i < 6; ++i) {
    calls.push_back(std::async(std::launch::async, [this] { return Get("/RQ/s1"); }));
  }
  calls.push_back(std::async(std::launch::async, [this] { return Get("/AC/s3"); }));
  for (auto& call : calls) {
    ASSERT_EQ(call.wait_for(120s), std::future_status::ready);
    ASSERT_TRUE(call.get());
  }
  ASSERT_EQ(series.wait_for(60s), std::future_status::ready);

  // A new series runs until stopped.
  stub_.Enqueue("s2", R"({"id": 3, "command": "{\"1\":\"010D\"}"})");
  auto second = std::async(std::launch::async, [this] { return Get("/RMQ/s2"); });
  const std::size_t before = Received("RESPONSE").size();
  ASSERT_TRUE(stub_.WaitForMessages(stub_.Messages().size() + 3, 60s));
  const auto stopStarted = std::chrono::steady_clock::now();
  auto stop = Get("/RSQ/s2");
  const auto stopTook = std::chrono::steady_clock::now() - stopStarted;
  ASSERT_TRUE(stop);
  EXPECT_EQ(stop->body, " ");
  // Generous: the stop never waits for the adapter, only for its own connection.
  EXPECT_LT(stopTook, 10s);
  ASSERT_EQ(second.wait_for(60s), std::future_status::ready);
  EXPECT_GT(Received("RESPONSE").size(), before);

  EXPECT_GT(adapter_->CommandsReceived(), 12u);
  EXPECT_EQ(adapter_->InterleavedCommands(), 0u);
}

}  // namespace
