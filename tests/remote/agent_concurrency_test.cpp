#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "remote/agent_messages.h"
#include "stub_fixture.h"

using namespace morvanix;

namespace {

using namespace std::chrono_literals;

std::string ResultWithId(int id) {
  return "{\"id\": " + std::to_string(id) + ", \"result\": \"r" + std::to_string(id) + "\"}";
}

TEST_F(AgentStubTest, AgentConcurrentSendersAreEachRecordedOnce) {
  constexpr int kThreads = 8;
  constexpr int kPerThread = 25;
  std::vector<std::thread> senders;
  for (int t = 0; t < kThreads; ++t) {
    senders.emplace_back([this, t] {
      for (int i = 0; i < kPerThread; ++i) {
        SendResponse(remote(), ResultWithId(t * 1000 + i), "T" + std::to_string(t));
      }
    });
  }
  for (auto& sender : senders) sender.join();

  const auto messages = stub_.Messages();
  ASSERT_EQ(messages.size(), static_cast<std::size_t>(kThreads * kPerThread));
  std::set<int> ids;
  for (const auto& message : messages) {
    EXPECT_EQ(message.error, "");
    const int id = message.parsed["id"].get<int>();
    ids.insert(id);
    EXPECT_EQ(message.ssid, "T" + std::to_string(id / 1000));
    EXPECT_EQ(message.parsed["response"], "r" + std::to_string(id));
  }
  EXPECT_EQ(ids.size(), messages.size()) << "no message lost or duplicated";
}

TEST_F(AgentStubTest, AgentHoldKeepsTheNthReplyUntilReleased) {
  stub_.Hold("H", "RESPONSE", 3);
  SendResponse(remote(), ResultWithId(1), "H");
  SendResponse(remote(), ResultWithId(2), "OTHER");  // another session does not count
  SendResponse(remote(), ResultWithId(3), "H");
  FetchRequest(remote(), "H");  // nor another type
  EXPECT_EQ(stub_.WaitHeld(0ms), 0u);

  auto third = std::async(std::launch::async,
                          [this] { return SendResponse(remote(), ResultWithId(4), "H"); });
  const std::uint64_t held = stub_.WaitHeld(10s);
  ASSERT_NE(held, 0u);
  EXPECT_EQ(stub_.Messages(held - 1).front().parsed["id"], 4);
  EXPECT_EQ(third.wait_for(200ms), std::future_status::timeout) << "the reply is held";

  EXPECT_TRUE(stub_.Release());
  ASSERT_EQ(third.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(third.get(), "OK");
  EXPECT_FALSE(stub_.Release()) << "nothing left to release";
  EXPECT_EQ(SendResponse(remote(), ResultWithId(5), "H"), "OK") << "the hold is disarmed";
}

TEST(AgentStubStop, LetsHeldAndDelayedRepliesGoWithinBounds) {
  morvanix::stub::RemoteStub stub;
  const int port = stub.Start("127.0.0.1", 0);
  ASSERT_GT(port, 0);
  PostTarget target(port);
  const RemoteEndpoint remote = target.Endpoint();
  stub.Hold("S", "RESPONSE", 1);
  auto held = std::async(std::launch::async, [&] { return SendResponse(remote, "{}", "S"); });
  ASSERT_NE(stub.WaitHeld(10s), 0u);

  morvanix::stub::Fault delay;
  delay.kind = morvanix::stub::FaultKind::Delay;
  delay.remaining = 1;
  delay.delayMs = 500000;
  stub.SetFault(delay);
  auto delayed = std::async(std::launch::async, [&] { return FetchRequest(remote, "S"); });
  ASSERT_TRUE(stub.WaitForMessages(2, 10s));

  const auto started = std::chrono::steady_clock::now();
  stub.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - started, 20s);
  EXPECT_EQ(held.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(delayed.wait_for(10s), std::future_status::ready);
}

TEST_F(AgentStubTest, AgentClearDuringHoldReleasesTheReply) {
  stub_.Hold("C", "GET_REQUEST", 1);
  auto fetch = std::async(std::launch::async, [this] { return FetchRequest(remote(), "C"); });
  ASSERT_NE(stub_.WaitHeld(10s), 0u);
  stub_.Clear();
  ASSERT_EQ(fetch.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(fetch.get(), "NOT_FOUND");
}

}  // namespace
