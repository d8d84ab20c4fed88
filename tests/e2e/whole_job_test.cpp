#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <future>
#include <ostream>
#include <string>
#include <thread>

#include "agent_fixture.h"
#include "bridge/series_poster.h"

using namespace std::chrono_literals;

namespace {

constexpr const char* kExampleRequest =
    R"({"id": 17, "command": "{\"01\":\"ATRV\",\"02\":\"0100\"}"})";
// Costs no adapter time, so a series of it measures the agent's own loop.
constexpr const char* kFunctionOnlyRequest = R"({"id": 5, "command": "{\"function\":\"f\"}"})";

class WholeJob : public AgentFixture {
 protected:
  void CheckAdapter(const std::string& ssid) {
    auto answer = Get("/AC/" + ssid);
    ASSERT_TRUE(answer);
    ASSERT_EQ(answer->status, 200);
  }
};

TEST_F(WholeJob, AgentCheckAnnouncesAndReportsTheAdapterOnCom3) {
  AttachAdapter(3);
  StartAgent();

  auto answer = Get("/AC/abc");
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, 200);
  EXPECT_EQ(answer->body, " ");
  EXPECT_EQ(answer->get_header_value("Content-Type"), "text/plain");

  const auto checks = Received("AGENT_CHECK");
  ASSERT_EQ(checks.size(), 1u);
  EXPECT_EQ(checks[0].text,
            "{\n  \"SSID\" : \"abc\",\n  \"message_type\" : \"AGENT_CHECK\",\n"
            "  \"revision\" : \"Valdrin Pellinor 1.4 WS\"\n}");
  const auto reports = Received("INTERFACE_CHECK");
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].text,
            "{\n  \"SSID\" : \"abc\",\n  \"discovered\" : \"ELM327 v1.5 on COM3\",\n"
            "  \"message_type\" : \"INTERFACE_CHECK\",\n  \"status\" : \"PRESENT\"\n}");
  EXPECT_NE(EventLog().find(": Got check request. Sending back SWIDENT\n"), std::string::npos);
}

TEST_F(WholeJob, WithoutAdapterNothingIsReportedAndRelaysLogTheDisconnect) {
  StartAgent();
  CheckAdapter("abc");
  EXPECT_EQ(Received("AGENT_CHECK").size(), 1u);
  EXPECT_TRUE(Received("INTERFACE_CHECK").empty());

  auto answer = Get("/RQ/abc");
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, 200);
  EXPECT_EQ(answer->body, "");
  EXPECT_TRUE(Received("GET_REQUEST").empty());
  EXPECT_NE(EventLog().find(": Unhandled disconnect condition. Please restart session.\n"),
            std::string::npos);
}

TEST_F(WholeJob, RelayRunsTheQueuedRequestAndPostsOneResponse) {
  AttachAdapter(3);
  StartAgent();
  CheckAdapter("ABC123");
  stub_.Enqueue("ABC123", kExampleRequest);

  auto answer = Get("/RQ/ABC123");
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->body, "");
  const auto responses = Received("RESPONSE");
  ASSERT_EQ(responses.size(), 1u);
  // The simulator answers ATRV with 12.6V; its first OBD request searches for the protocol,
  // and two control units answer 0100.
  EXPECT_EQ(responses[0].text,
            "{\n  \"SSID\" : \"ABC123\",\n  \"id\" : 17,\n  \"message_type\" : \"RESPONSE\",\n"
            "  \"response\" : \"{\\n  \\\"01\\\" : \\\"12.6V\\\",\\n  \\\"02\\\" : "
            "\\\"SEARCHING...41 00 BE 3F A8 13 41 00 98 18 80 10 \\\"\\n}\"\n}");
}

struct ReplyCase {
  const char* name;
  std::string queued;  // empty: nothing queued, the stand-in answers NOT_FOUND
  bool executed;
};

void PrintTo(const ReplyCase& c, std::ostream* out) {
  *out << c.name;
}

class RelayReplies : public WholeJob, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(RelayReplies, NotFoundEndsQuietlyAnythingElseIsExecuted) {
  AttachAdapter(3);
  StartAgent();
  CheckAdapter("s1");
  if (!GetParam().queued.empty()) stub_.Enqueue("s1", GetParam().queued);

  ASSERT_TRUE(Get("/RQ/s1"));
  EXPECT_EQ(Received("GET_REQUEST").size(), 1u);
  const auto responses = Received("RESPONSE");
  if (!GetParam().executed) {
    EXPECT_TRUE(responses.empty());
    return;
  }
  ASSERT_EQ(responses.size(), 1u);
  EXPECT_EQ(responses[0].parsed["id"], nullptr);
  EXPECT_EQ(responses[0].parsed["response"], "null");
}

INSTANTIATE_TEST_SUITE_P(WholeJob, RelayReplies,
                         ::testing::Values(ReplyCase{"EmptyQueue", "", false},
                                           ReplyCase{"NotFoundWithMore", "NOT_FOUND, later", false},
                                           ReplyCase{"EightLettersOnly", "NOT_FOUN", true}),
                         [](const auto& info) { return std::string(info.param.name); });

// Left alone, a series makes exactly 1000 RESPONSEs, whether the server keeps its connections
// or closes each after its reply without saying so (the series then races each close with its
// next post).
TEST_F(WholeJob, SeriesLeftAloneMakesExactlyOneThousandResponses) {
  AttachAdapter(3);
  StartAgent();
  CheckAdapter("s1");
  for (const bool closes : {false, true}) {
    SCOPED_TRACE(closes ? "the server closes after every reply" : "the server keeps them");
    stub_.Clear();
    if (closes) {
      morvanix::stub::Fault fault;
      fault.kind = morvanix::stub::FaultKind::CloseAfterReply;
      fault.remaining = 2000;
      stub_.SetFault(fault);
    }
    stub_.Enqueue("s1", kFunctionOnlyRequest);

    auto answer = Get("/RMQ/s1");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->body, " ");
    EXPECT_EQ(Received("GET_REQUEST").size(), 1u);
    EXPECT_EQ(Received("RESPONSE").size(), 1000u);
  }
}

// The stand-in closes connections idle for a second. Once the agent has seen it do so, posts
// that follow each other within the second still share one connection.
TEST_F(WholeJob, AServerThatClosesIdleConnectionsStillGetsThemSharedWithinItsTime) {
  AttachAdapter(3);
  StartAgent();
  CheckAdapter("s1");
  std::this_thread::sleep_for(1500ms);
  stub_.Clear();
  for (int i = 0; i < 2; ++i) {
    stub_.Enqueue("s1", kFunctionOnlyRequest);
    ASSERT_TRUE(Get("/RQ/s1"));
    std::this_thread::sleep_for(300ms);
  }
  const auto messages = Received();
  ASSERT_EQ(messages.size(), 4u);
  for (const auto& message : messages) EXPECT_EQ(message.peerPort, messages[0].peerPort);
}

// The stand-in holds the reply to the Nth RESPONSE while the test interrupts the series, so
// the repetition in which the interruption lands is known exactly.
class SeriesInterrupted : public WholeJob {
 protected:
  void RunInterrupted(const std::string& interruptPath, int nth, const char* messageSeen) {
    AttachAdapter(3);
    StartAgent();
    CheckAdapter("s1");
    stub_.Clear();
    stub_.Enqueue("s1", kFunctionOnlyRequest);
    stub_.Hold("s1", "RESPONSE", nth);

    auto series = std::async(std::launch::async, [this] { return Get("/RMQ/s1"); });
    ASSERT_GT(stub_.WaitHeld(60s), 0u);
    auto interrupt = std::async(std::launch::async, [&] { return Get(interruptPath); });
    if (messageSeen == nullptr) {
      ASSERT_EQ(interrupt.wait_for(30s), std::future_status::ready);  // answered at once
    } else {
      // The budget is cleared before the interrupting call's first message goes out.
      const std::size_t before = stub_.Messages().size();
      ASSERT_TRUE(stub_.WaitForMessages(before + 1, 30s));
      EXPECT_EQ(stub_.Messages().back().messageType, messageSeen);
    }
    stub_.Release();

    auto seriesAnswer = series.get();
    ASSERT_TRUE(seriesAnswer);
    EXPECT_EQ(seriesAnswer->body, " ");
    ASSERT_TRUE(interrupt.get());
    // The repetitions made while the Nth post was held are posted as well: those in the
    // queue and the one that waited for room.
    const std::size_t responses = Received("RESPONSE").size();
    EXPECT_GE(responses, static_cast<std::size_t>(nth));
    EXPECT_LE(responses, static_cast<std::size_t>(nth) + morvanix::SeriesPoster::kBound + 1);
  }
};

TEST_F(SeriesInterrupted, StopWhileTheTenthIsPostedEndsTheSeries) {
  RunInterrupted("/RSQ/s1", 10, nullptr);
}

TEST_F(SeriesInterrupted, AgentCheckEndsTheSeriesAfterItsCurrentRepetition) {
  RunInterrupted("/AC/s1", 5, "AGENT_CHECK");
}

// A service stop (SIGTERM) while a series runs: the series ends after the repetition under
// way, also when the stop comes while the request is still being fetched, and the agent exits
// cleanly within a few seconds instead of after the whole budget.
struct HeldMessage {
  const char* type;
  int nth;
  // RESPONSE messages the stand-in receives in all: the stop ends the held post, and every
  // post after it fails at once.
  int responses;
};

void PrintTo(const HeldMessage& held, std::ostream* out) {
  *out << held.type << " #" << held.nth;
}

class SeriesStopped : public WholeJob, public ::testing::WithParamInterface<HeldMessage> {
 protected:
  bool WaitForLogLine(const std::string& text, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (EventLog().find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(20ms);
    }
    return true;
  }
};

TEST_P(SeriesStopped, StopSignalEndsTheSeriesAfterItsCurrentRepetition) {
  AttachAdapter(3);
  StartAgent();
  CheckAdapter("s1");
  stub_.Clear();
  stub_.Enqueue("s1", kFunctionOnlyRequest);
  stub_.Hold("s1", GetParam().type, GetParam().nth);

  auto series = std::async(std::launch::async, [this] { return Get("/RMQ/s1"); });
  ASSERT_GT(stub_.WaitHeld(60s), 0u);
  agent_.Signal(SIGTERM);
  // The stop has been taken while the series is held at the stand-in.
  ASSERT_TRUE(WaitForLogLine(": Stopping the http server: ", 10s));
  const auto released = std::chrono::steady_clock::now();
  stub_.Release();

  EXPECT_EQ(agent_.Wait(10s), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - released, 5s);
  auto answer = series.get();
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->body, " ");
  EXPECT_EQ(Received("RESPONSE").size(), static_cast<std::size_t>(GetParam().responses));
}

INSTANTIATE_TEST_SUITE_P(HeldAt, SeriesStopped,
                         ::testing::Values(HeldMessage{"RESPONSE", 10, 10},
                                           HeldMessage{"GET_REQUEST", 1, 0}),
                         [](const auto& info) { return std::string(info.param.type); });

}  // namespace
