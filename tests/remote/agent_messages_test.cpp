#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <sstream>
#include <string>

#include "json/json_value.h"
#include "remote/agent_messages.h"
#include "stub_fixture.h"

using namespace morvanix;

namespace {

using nlohmann::json;

struct MessageCase {
  const char* name;
  std::function<void(const RemoteEndpoint&)> send;
  std::string wireText;  // exactly what the server must decode
};

void PrintTo(const MessageCase& c, std::ostream* os) {
  *os << c.name;
}

class AgentMessageWire : public AgentStubTest, public ::testing::WithParamInterface<MessageCase> {};

TEST_P(AgentMessageWire, DecodesToTheExactText) {
  GetParam().send(remote());
  const auto message = OnlyMessage();
  EXPECT_EQ(message.text, GetParam().wireText);
}

const std::string kResultOfExample =
    "{\n"
    "  \"id\" : 17,\n"
    "  \"result\" : \"{\\n  \\\"01\\\" : \\\"13.4V\\\",\\n  \\\"02\\\" : \\\"41 00 BF 9F F9 "
    "80\\\"\\n}\"\n"
    "}";

INSTANTIATE_TEST_SUITE_P(
    AgentAbc123, AgentMessageWire,
    ::testing::Values(
        MessageCase{"AgentCheck", [](const RemoteEndpoint& r) { SendAgentCheck(r, "ABC123"); },
                    "{\n"
                    "  \"SSID\" : \"ABC123\",\n"
                    "  \"message_type\" : \"AGENT_CHECK\",\n"
                    "  \"revision\" : \"Valdrin Pellinor 1.4 WS\"\n"
                    "}"},
        MessageCase{
            "InterfaceCheck",
            [](const RemoteEndpoint& r) { SendInterfaceCheck(r, "ABC123", "ADAPTER 1.0 on COM3"); },
            "{\n"
            "  \"SSID\" : \"ABC123\",\n"
            "  \"discovered\" : \"ADAPTER 1.0 on COM3\",\n"
            "  \"message_type\" : \"INTERFACE_CHECK\",\n"
            "  \"status\" : \"PRESENT\"\n"
            "}"},
        MessageCase{"GetRequest", [](const RemoteEndpoint& r) { FetchRequest(r, "ABC123"); },
                    "{\n"
                    "  \"SSID\" : \"ABC123\",\n"
                    "  \"message_type\" : \"GET_REQUEST\"\n"
                    "}"},
        MessageCase{"ResponseOfExecutorExample",
                    [](const RemoteEndpoint& r) { SendResponse(r, kResultOfExample, "ABC123"); },
                    "{\n"
                    "  \"SSID\" : \"ABC123\",\n"
                    "  \"id\" : 17,\n"
                    "  \"message_type\" : \"RESPONSE\",\n"
                    "  \"response\" : \"{\\n  \\\"01\\\" : \\\"13.4V\\\",\\n  \\\"02\\\" : "
                    "\\\"41 00 BF 9F F9 80\\\"\\n}\"\n"
                    "}"}),
    [](const auto& info) { return std::string(info.param.name); });

// How SendResponse carries "id" and "result" of a result text, as the server reads them.
struct ResponseCase {
  const char* name;
  std::string result;
  json id;
  json response;
};

void PrintTo(const ResponseCase& c, std::ostream* os) {
  *os << c.name;
}

class AgentResponseMembers : public AgentStubTest,
                             public ::testing::WithParamInterface<ResponseCase> {
 protected:
  void SetUp() override {
    AgentStubTest::SetUp();
    SetJsonErrorStream(&diagnostics_);
  }
  void TearDown() override {
    SetJsonErrorStream(nullptr);
    AgentStubTest::TearDown();
  }
  std::ostringstream diagnostics_;
};

TEST_P(AgentResponseMembers, CopiesIdAndResultOrNull) {
  SendResponse(remote(), GetParam().result, "S_1");
  const auto message = OnlyMessage();
  const json expected = {{"SSID", "S_1"},
                         {"message_type", "RESPONSE"},
                         {"id", GetParam().id},
                         {"response", GetParam().response}};
  EXPECT_EQ(message.parsed, expected) << message.text;
}

INSTANTIATE_TEST_SUITE_P(
    AgentResultTexts, AgentResponseMembers,
    ::testing::Values(
        ResponseCase{"IntegerId", "{\"id\": 17, \"result\": \"x\"}", 17, "x"},
        ResponseCase{"StringId", "{\"id\": \"req-9\", \"result\": \"x\"}", "req-9", "x"},
        ResponseCase{"FloatIdWrittenWithSixDecimals", "{\"id\": 1.5, \"result\": \"x\"}", 1.5, "x"},
        ResponseCase{"NoId", "{\"result\": \"x\"}", nullptr, "x"},
        ResponseCase{"NoResult", "{\"id\": 3}", 3, nullptr},
        ResponseCase{"ResultNotString", "{\"id\": 3, \"result\": true}", 3, true},
        ResponseCase{"EmptyRequestExecuted", "{\n  \"id\" : null,\n  \"result\" : \"null\"\n}",
                     nullptr, "null"},
        ResponseCase{"EmptyText", "", nullptr, nullptr},
        ResponseCase{"NotJson", "garbage", nullptr, nullptr},
        ResponseCase{"NotAnObject", "[1, 2]", nullptr, nullptr},
        ResponseCase{"EscapesSurvive", "{\"id\": 2, \"result\": \"a\\\"b\\\\c\\td\"}", 2,
                     "a\"b\\c\td"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AgentResponseMembers, FloatIdKeepsTheSerializerForm) {
  SendResponse(remote(), "{\"id\": 1.5, \"result\": \"x\"}", "S");
  EXPECT_NE(OnlyMessage().text.find("\"id\" : 1.500000,"), std::string::npos);
}

TEST_F(AgentResponseMembers, UnparsableResultIsStillSentAndDiagnosed) {
  SendResponse(remote(), "{\"id\": 4, \"result\" \"x\"}", "S");
  EXPECT_EQ(OnlyMessage().parsed["id"], 4) << "members read before the fault are kept";
  EXPECT_NE(diagnostics_.str(), "");
}

TEST_F(AgentStubTest, AgentFetchReturnsTheQueuedRequestUnchanged) {
  const std::string request = "{\"id\": 17, \"command\": \"{\\\"01\\\":\\\"ATRV\\\"}\"}";
  stub_.Enqueue("ABC123", request);
  stub_.Enqueue("OTHER", "not for ABC123");

  EXPECT_EQ(FetchRequest(remote(), "ABC123"), request);
  EXPECT_EQ(FetchRequest(remote(), "ABC123"), "NOT_FOUND");
  EXPECT_EQ(stub_.QueueLength("OTHER"), 1u);
}

TEST(AgentFetchFailure, UnreachableServerGivesEmptyText) {
  morvanix::stub::RemoteStub stopped;
  const int port = stopped.Start("127.0.0.1", 0);
  ASSERT_GT(port, 0);
  stopped.Stop();
  EXPECT_EQ(FetchRequest(RemoteEndpoint{"127.0.0.1", port}, "ABC123"), "");
}

TEST_F(AgentStubTest, AgentMessagesKeepKeysInByteOrderWhateverTheSession) {
  SendInterfaceCheck(remote(), "zz_9", "X on COM16");
  const std::string text = OnlyMessage().text;
  const auto at = [&](const char* key) { return text.find(key); };
  EXPECT_LT(at("\"SSID\""), at("\"discovered\""));
  EXPECT_LT(at("\"discovered\""), at("\"message_type\""));
  EXPECT_LT(at("\"message_type\""), at("\"status\""));
}

// Bytes the agent passes through from the adapter, as a standard JSON reader sees them.
struct DiscoveredCase {
  const char* name;
  std::string discovered;
  bool acceptedByStandardReader;
};

void PrintTo(const DiscoveredCase& c, std::ostream* os) {
  *os << c.name;
}

class AgentDiscoveredBytes : public AgentStubTest,
                             public ::testing::WithParamInterface<DiscoveredCase> {};

TEST_P(AgentDiscoveredBytes, ReachTheServerUnchanged) {
  SendInterfaceCheck(remote(), "S", GetParam().discovered);
  const auto messages = stub_.Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].error.empty(), GetParam().acceptedByStandardReader) << messages[0].error;
  if (GetParam().acceptedByStandardReader) {
    EXPECT_EQ(messages[0].parsed["discovered"], GetParam().discovered);
  }
}

INSTANTIATE_TEST_SUITE_P(
    AgentTexts, AgentDiscoveredBytes,
    ::testing::Values(DiscoveredCase{"Plain", "ELM327 v1.5 on COM3", true},
                      DiscoveredCase{"Utf8", "Ad\xC3\xA4pter on COM1", true},
                      DiscoveredCase{"QuoteBackslashTab", "a\"b\\c\td\r\n on COM2", true},
                      DiscoveredCase{"UnescapedControlByte", "v1\x01 on COM4", false},
                      DiscoveredCase{"LoneHighByte", "v1\xC3 on COM5", false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
