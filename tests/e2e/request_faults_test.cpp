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

}  // namespace
