// The real agent against a remote server that misbehaves on one message of one call: the
// other sessions' calls must go on as if nothing were wrong.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <ostream>
#include <string>

#include "agent_fixture.h"

using namespace std::chrono_literals;

namespace {

constexpr const char* kBatteryRequest = R"({"id": 3, "command": "{\"01\":\"ATRV\"}"})";

struct StalledCheckCase {
  const char* label;
  const char* heldMessage;  // the agent check's message whose reply never comes
};

void PrintTo(const StalledCheckCase& c, std::ostream* os) {
  *os << c.label;
}

class StalledAgentCheck : public AgentFixture,
                          public ::testing::WithParamInterface<StalledCheckCase> {};

// While one session's agent check waits on a reply that does not come, a relay for another
// session is served: the stalled post holds nothing the relay needs.
TEST_P(StalledAgentCheck, RelayForAnotherSessionIsNotDelayed) {
  AttachAdapter(3);
  StartAgent();
  auto first = Get("/AC/relay");
  ASSERT_TRUE(first);
  stub_.Enqueue("relay", kBatteryRequest);
  stub_.Hold("stalled", GetParam().heldMessage, 1);

  auto check = std::async(std::launch::async, [this] { return Get("/AC/stalled"); });
  ASSERT_GT(stub_.WaitHeld(60s), 0u) << "the agent check never posted " << GetParam().heldMessage;

  const auto start = std::chrono::steady_clock::now();
  auto relay = Get("/RQ/relay");
  const auto elapsed = std::chrono::steady_clock::now() - start;
  ASSERT_TRUE(relay);
  EXPECT_LT(elapsed, 5s) << "the relay waited on the stalled agent check";
  EXPECT_EQ(check.wait_for(0s), std::future_status::timeout) << "the stalled check ended early";
  const auto responses = Received("RESPONSE");
  ASSERT_EQ(responses.size(), 1u);
  EXPECT_EQ(responses[0].ssid, "relay");

  stub_.Release();
  ASSERT_EQ(check.wait_for(60s), std::future_status::ready);
  auto checked = check.get();
  ASSERT_TRUE(checked);
  EXPECT_EQ(checked->status, 200);
}

INSTANTIATE_TEST_SUITE_P(
    RemoteStalls, StalledAgentCheck,
    ::testing::Values(StalledCheckCase{"InterfaceCheckNeverAnswered", "INTERFACE_CHECK"},
                      StalledCheckCase{"AgentCheckNeverAnswered", "AGENT_CHECK"}),
    [](const ::testing::TestParamInfo<StalledCheckCase>& info) { return info.param.label; });

// A failed fetch (the stand-in answers 500 once) is answered with one RESPONSE whose id is null,
// on either relay route: a series must not repeat it against a server that is already failing.
class FailedFetch : public AgentFixture, public ::testing::WithParamInterface<const char*> {};

TEST_P(FailedFetch, PostsOneNullResponseAndStops) {
  AttachAdapter(3);
  StartAgent();
  ASSERT_TRUE(Get("/AC/s1"));
  morvanix::stub::Fault fault;
  fault.kind = morvanix::stub::FaultKind::Status;
  fault.status = 500;
  fault.remaining = 1;
  stub_.SetFault(fault);

  auto answer = Get(std::string(GetParam()) + "s1");
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, 200);
  const auto responses = Received("RESPONSE");
  ASSERT_EQ(responses.size(), 1u);
  EXPECT_EQ(responses[0].parsed["id"], nullptr);
  EXPECT_EQ(responses[0].parsed["response"], "null");
}

INSTANTIATE_TEST_SUITE_P(RelayRoutes, FailedFetch, ::testing::Values("/RQ/", "/RMQ/"),
                         [](const auto& info) { return info.param[2] == 'Q' ? "RQ" : "RMQ"; });

// Megabytes of backslashes in the command text cost linear time: the request reaches the
// adapter promptly and its answer comes back.
class HugeRequest : public AgentFixture {};

TEST_F(HugeRequest, BackslashRunIsRemovedPromptly) {
  AttachAdapter(3);
  StartAgent();
  ASSERT_TRUE(Get("/AC/s1"));
  std::string request = R"({"id": 5, "command": "{\"01\":\"ATRV\"})";
  request.reserve(15u * 1024u * 1024u);
  while (request.size() < 14u * 1024u * 1024u) request += R"(\\)";  // one backslash each
  request += R"("})";
  stub_.Enqueue("s1", request);

  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(Get("/RQ/s1"));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 60s);
  const auto responses = Received("RESPONSE");
  ASSERT_EQ(responses.size(), 1u);
  EXPECT_EQ(responses[0].parsed["id"], 5);
  EXPECT_NE(responses[0].parsed["response"].get<std::string>().find("12.6V"), std::string::npos);
}

}  // namespace
