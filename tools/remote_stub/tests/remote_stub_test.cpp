#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>
#include <ostream>
#include <random>
#include <string>

#include "decimal_decoding.h"
#include "remote/agent_messages.h"
#include "remote/agent_transport.h"
#include "stub_fault.h"
#include "stub_fixture.h"

using namespace morvanix;

namespace {

using morvanix::stub::DecodeDecimalBytes;
using morvanix::stub::Fault;
using morvanix::stub::FaultKind;
using morvanix::stub::ParseFault;
using nlohmann::json;

struct DecodeCase {
  const char* encoded;
  std::optional<std::string> bytes;
};

void PrintTo(const DecodeCase& c, std::ostream* os) {
  *os << '"' << c.encoded << '"';
}

class AgentStubDecoding : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(AgentStubDecoding, SplitsAtNAndTakesModulo256) {
  EXPECT_EQ(DecodeDecimalBytes(GetParam().encoded), GetParam().bytes) << GetParam().encoded;
}

INSTANTIATE_TEST_SUITE_P(
    AgentTexts, AgentStubDecoding,
    ::testing::Values(DecodeCase{"", ""}, DecodeCase{"97n98n99n", "abc"},
                      DecodeCase{"-61n", "\xC3"}, DecodeCase{"195n", "\xC3"},
                      DecodeCase{"-1n", "\xFF"}, DecodeCase{"256n", std::string(1, '\0')},
                      DecodeCase{"-257n", "\xFF"}, DecodeCase{"97n98", std::nullopt},
                      DecodeCase{"nn", std::nullopt}, DecodeCase{"9 7n", std::nullopt},
                      DecodeCase{"+97n", std::nullopt}, DecodeCase{"-n", std::nullopt},
                      DecodeCase{"97%6E", std::nullopt},
                      DecodeCase{"99999999999999999999999n", std::nullopt}));

TEST(AgentStubDecoding, InvertsTheAgentEncodingOnRandomBytes) {
  std::mt19937 random(20240611u);
  std::uniform_int_distribution<int> length(0, 200);
  std::uniform_int_distribution<int> byte(0, 255);
  for (int round = 0; round < 2000; ++round) {
    std::string text(static_cast<std::size_t>(length(random)), '\0');
    for (char& c : text) c = static_cast<char>(byte(random));
    ASSERT_EQ(DecodeDecimalBytes(EncodeDecimalBytes(text)), text) << "round " << round;
  }
}

struct FaultCase {
  const char* faultJson;
  std::optional<FaultKind> kind;  // nullopt: rejected
  int remaining = 0;
};

void PrintTo(const FaultCase& c, std::ostream* os) {
  *os << c.faultJson;
}

class AgentStubFaultSpec : public ::testing::TestWithParam<FaultCase> {};

TEST_P(AgentStubFaultSpec, ReadsOrRejects) {
  std::string error;
  const auto fault = ParseFault(json::parse(GetParam().faultJson), &error);
  ASSERT_EQ(fault.has_value(), GetParam().kind.has_value()) << error;
  if (fault) {
    EXPECT_EQ(fault->kind, *GetParam().kind);
    EXPECT_EQ(fault->remaining, GetParam().remaining);
  } else {
    EXPECT_NE(error, "");
  }
}

INSTANTIATE_TEST_SUITE_P(
    AgentSpecs, AgentStubFaultSpec,
    ::testing::Values(FaultCase{"{}", FaultKind::None, 0},
                      FaultCase{"{\"kind\":\"none\",\"count\":4}", FaultKind::None, 0},
                      FaultCase{"{\"kind\":\"status\",\"status\":404}", FaultKind::Status, 1},
                      FaultCase{"{\"kind\":\"delay\",\"delay_ms\":10,\"count\":3}",
                                FaultKind::Delay, 3},
                      FaultCase{"{\"kind\":\"huge\",\"bytes\":5}", FaultKind::Huge, 1},
                      FaultCase{"{\"kind\":\"close\"}", FaultKind::Close, 1},
                      FaultCase{"{\"kind\":\"explode\"}", std::nullopt},
                      FaultCase{"{\"kind\":7}", std::nullopt},
                      FaultCase{"{\"kind\":\"status\",\"status\":99}", std::nullopt},
                      FaultCase{"{\"kind\":\"status\",\"status\":\"404\"}", std::nullopt},
                      FaultCase{"{\"kind\":\"delay\",\"delay_ms\":-1}", std::nullopt},
                      FaultCase{"{\"kind\":\"delay\",\"delay_ms\":600001}", std::nullopt},
                      FaultCase{"{\"kind\":\"close\",\"count\":1.5}", std::nullopt},
                      FaultCase{"{\"kind\":\"status\",\"body\":3}", std::nullopt},
                      FaultCase{"[]", std::nullopt}));

// What the stand-in makes of every kind of post it can receive.
struct PostCase {
  const char* name;
  std::string contentType;
  std::string body;
  std::string errorMention;  // empty: accepted
};

void PrintTo(const PostCase& c, std::ostream* os) {
  *os << c.name;
}

class AgentStubRejects : public AgentStubTest, public ::testing::WithParamInterface<PostCase> {};

TEST_P(AgentStubRejects, RecordsWhyAMessageIsNotAcceptable) {
  httplib::Client client("127.0.0.1", port_);
  const auto result = client.Post("/DEV/Agent.php", GetParam().body, GetParam().contentType);
  ASSERT_TRUE(result);
  const auto messages = stub_.Messages();
  ASSERT_EQ(messages.size(), 1u);
  if (GetParam().errorMention.empty()) {
    EXPECT_EQ(messages[0].error, "");
    EXPECT_EQ(result->status, 200);
  } else {
    EXPECT_NE(messages[0].error.find(GetParam().errorMention), std::string::npos)
        << messages[0].error;
    EXPECT_EQ(result->status, 400);
  }
}

const std::string kForm = "application/x-www-form-urlencoded";
std::string Field(const std::string& text) {
  return "agent_message=" + EncodeDecimalBytes(text);
}

INSTANTIATE_TEST_SUITE_P(
    AgentPosts, AgentStubRejects,
    ::testing::Values(
        PostCase{"Accepted", kForm, Field("{\"SSID\":\"A\",\"message_type\":\"RESPONSE\"}"), ""},
        PostCase{"NotAForm", "text/plain", Field("{}"), "Content-Type"},
        PostCase{"OtherField", kForm, "message=97n", "agent_message="},
        PostCase{"TwoFields", kForm, Field("{}") + "&x=1", "more than"},
        PostCase{"NotDecimal", kForm, "agent_message=97n9", "decimal"},
        PostCase{"NotJson", kForm, Field("{\"SSID\":"), "JSON reader"},
        PostCase{"NotObject", kForm, Field("[1]"), "not a JSON object"},
        PostCase{"NoSsid", kForm, Field("{\"message_type\":\"RESPONSE\"}"), "SSID"},
        PostCase{"UnknownType", kForm, Field("{\"SSID\":\"A\",\"message_type\":\"PING\"}"),
                 "unknown message_type"}),
    [](const auto& info) { return std::string(info.param.name); });

// The control API as a shell script drives it.
class AgentStubControl : public AgentStubTest {
 protected:
  void SetUp() override {
    AgentStubTest::SetUp();
    client_ = std::make_unique<httplib::Client>("127.0.0.1", port_);
  }
  httplib::Result Post(const std::string& path, const std::string& body = "") {
    return client_->Post(path.c_str(), body, "application/octet-stream");
  }
  httplib::Result Get(const std::string& path) { return client_->Get(path.c_str()); }
  std::unique_ptr<httplib::Client> client_;
};

TEST_F(AgentStubControl, QueueRoundTripsRequestTextsInOrder) {
  const std::string first = "{\"id\": \"a\", \"command\": \"{\\\"1\\\":\\\"ATZ\\\"}\"}\r\n\t";
  const std::string second = "not even JSON \xC3";
  ASSERT_EQ(Post("/control/enqueue?ssid=S", first)->status, 200);
  ASSERT_EQ(Post("/control/enqueue?ssid=S", second)->status, 200);
  EXPECT_EQ(json::parse(Get("/control/queue?ssid=S")->body)["queued"], 2);
  EXPECT_EQ(Post("/control/enqueue", "x")->status, 400) << "a session is required";
  for (std::size_t i = 0; i < morvanix::stub::kMaxQueuedPerSession; ++i) {
    ASSERT_TRUE(stub_.Enqueue("FULL", "x"));
  }
  EXPECT_EQ(Post("/control/enqueue?ssid=FULL", "one too many")->status, 429);

  EXPECT_EQ(FetchRequest(remote(), "S"), first);
  EXPECT_EQ(FetchRequest(remote(), "S"), second);
  EXPECT_EQ(FetchRequest(remote(), "S"), "NOT_FOUND");
}

TEST_F(AgentStubControl, ListsMessagesSinceASequenceAndClears) {
  SendAgentCheck(remote(), "S");
  FetchRequest(remote(), "S");
  SendResponse(remote(), "{\"id\": 5, \"result\": \"r\"}", "S");

  const json all = json::parse(Get("/control/messages")->body);
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0]["message_type"], "AGENT_CHECK");
  EXPECT_EQ(all[2]["parsed"]["id"], 5);
  const json later = json::parse(
      Get("/control/messages?since=" + std::to_string(all[0]["sequence"].get<int>()))->body);
  ASSERT_EQ(later.size(), 2u);
  EXPECT_EQ(later[0]["message_type"], "GET_REQUEST");
  EXPECT_EQ(Get("/control/messages?since=x")->status, 400);

  ASSERT_EQ(Post("/control/clear")->status, 200);
  EXPECT_EQ(json::parse(Get("/control/messages")->body).size(), 0u);
}

TEST_F(AgentStubControl, FaultAppliesToTheNextCountPostsOnly) {
  ASSERT_EQ(Post("/control/fault", "{\"kind\":\"status\",\"status\":500,\"count\":2}")->status,
            200);
  stub_.Enqueue("S", "queued");
  EXPECT_EQ(FetchRequest(remote(), "S"), "");
  EXPECT_EQ(FetchRequest(remote(), "S"), "");
  EXPECT_EQ(FetchRequest(remote(), "S"), "queued") << "a faulted fetch does not consume";
  EXPECT_EQ(Post("/control/fault", "{\"kind\":\"boom\"}")->status, 400);
  EXPECT_EQ(Post("/control/fault", "not json")->status, 400);
}

TEST_F(AgentStubControl, WaitsAreBoundedAndAnswer408) {
  const auto heldAnswer = Get("/control/wait-held?timeout_ms=50");
  EXPECT_EQ(heldAnswer->status, 408);
  EXPECT_EQ(Get("/control/wait-messages?count=1&timeout_ms=50")->status, 408);
  EXPECT_EQ(Get("/control/wait-held?timeout_ms=600001")->status, 400);
  SendAgentCheck(remote(), "S");
  EXPECT_EQ(Get("/control/wait-messages?count=1&timeout_ms=50")->status, 200);
}

TEST(AgentStubLog, WritesOneJsonLinePerMessage) {
  const std::string path = ::testing::TempDir() + "agent_stub_log_test.jsonl";
  std::remove(path.c_str());
  {
    morvanix::stub::RemoteStub stub({.logPath = path});
    const int port = stub.Start("127.0.0.1", 0);
    ASSERT_GT(port, 0);
    PostTarget target(port);
    SendAgentCheck(target.Endpoint(), "L1");
    SendInterfaceCheck(target.Endpoint(), "L1", "bad\x01 on COM1");
  }
  std::ifstream log(path);
  std::string first;
  std::string second;
  ASSERT_TRUE(std::getline(log, first));
  ASSERT_TRUE(std::getline(log, second));
  EXPECT_EQ(json::parse(first)["parsed"]["revision"], "Valdrin Pellinor 1.4 WS");
  const json rejected = json::parse(second);
  EXPECT_TRUE(rejected.contains("error"));
  EXPECT_EQ(DecodeDecimalBytes(rejected["encoded"].get<std::string>()).value_or(""),
            rejected["text"].get<std::string>());
  std::remove(path.c_str());
}

TEST(AgentStubStart, RefusesAnUnwritableLogAndATakenPort) {
  morvanix::stub::RemoteStub noLog({.logPath = "/nonexistent-dir/x.jsonl"});
  EXPECT_EQ(noLog.Start("127.0.0.1", 0), -1);

  morvanix::stub::RemoteStub first;
  const int port = first.Start("127.0.0.1", 0);
  ASSERT_GT(port, 0);
  morvanix::stub::RemoteStub second;
  EXPECT_EQ(second.Start("127.0.0.1", port), -1);
}

}  // namespace
