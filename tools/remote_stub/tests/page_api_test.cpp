#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "listen_address.h"
#include "remote_stub.h"
#include "temp_folder.h"

namespace {

using morvanix::stub::ListenAddressAllowed;
using morvanix::stub::RemoteStub;
using nlohmann::json;

struct AddressCase {
  const char* host;
  bool allowTestNet;
  bool allowed;
};

class StubListenAddress : public ::testing::TestWithParam<AddressCase> {};

TEST_P(StubListenAddress, LoopbackAlwaysTestNetOnRequestNothingElse) {
  EXPECT_EQ(ListenAddressAllowed(GetParam().host, GetParam().allowTestNet), GetParam().allowed)
      << GetParam().host << (GetParam().allowTestNet ? " with" : " without") << " the test net";
}

INSTANTIATE_TEST_SUITE_P(
    Hosts, StubListenAddress,
    ::testing::Values(
        AddressCase{"127.0.0.1", false, true}, AddressCase{"127.8.9.1", false, true},
        AddressCase{"localhost", false, true}, AddressCase{"::1", false, true},
        AddressCase{"203.0.113.1", false, false}, AddressCase{"203.0.113.1", true, true},
        AddressCase{"203.0.113.255", true, true}, AddressCase{"203.0.114.1", true, false},
        AddressCase{"203.0.112.255", true, false}, AddressCase{"10.0.0.1", true, false},
        AddressCase{"0.0.0.0", true, false}, AddressCase{"127.", false, false},
        AddressCase{"127.0.0.1.example", true, false}, AddressCase{"", true, false}));

// Digit encoding of an agent message, written here independently of the agent's own.
std::string AgentForm(const json& message) {
  std::string out = "agent_message=";
  for (unsigned char c : message.dump()) out += std::to_string(static_cast<int>(c)) + "n";
  return out;
}

class StubPageApi : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = stub_.Start("127.0.0.1", 0);
    ASSERT_GT(port_, 0);
    client_ = std::make_unique<httplib::Client>("127.0.0.1", port_);
    client_->set_read_timeout(20, 0);
  }

  std::string Post(const json& message) {
    const auto result =
        client_->Post("/DEV/Agent.php", AgentForm(message), "application/x-www-form-urlencoded");
    return result ? result->body : "(no answer)";
  }

  // Status and parsed body of a page API call.
  std::pair<int, json> Call(const std::string& method, const std::string& target) {
    const auto result =
        method == "POST" ? client_->Post(target, "", "text/plain") : client_->Get(target);
    if (!result) return {0, nullptr};
    return {result->status, json::parse(result->body, nullptr, false)};
  }

  RemoteStub stub_;
  int port_ = -1;
  std::unique_ptr<httplib::Client> client_;
};

TEST_F(StubPageApi, SessionsAreFreshWordIdentifiers) {
  const auto [status, first] = Call("POST", "/app/session");
  const auto [unused, second] = Call("POST", "/app/session");
  ASSERT_EQ(status, 200);
  const std::string session = first.value("session", "");
  EXPECT_EQ(session.size(), 16u);
  EXPECT_EQ(
      session.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
      std::string::npos);
  EXPECT_NE(session, second.value("session", ""));
}

TEST_F(StubPageApi, ReadingsQueueTheirCommandForTheAgent) {
  const std::pair<const char*, const char*> readings[] = {{"battery_voltage", "ATRV"},
                                                          {"engine_speed", "010C"},
                                                          {"vehicle_speed", "010D"},
                                                          {"coolant_temperature", "0105"},
                                                          {"vin", "0902"}};
  long long previousId = 0;
  for (const auto& [name, command] : readings) {
    const auto [status, body] = Call("POST", std::string("/app/reading?session=S1&name=") + name);
    ASSERT_EQ(status, 200) << name;
    const long long id = body.value("id", 0LL);
    EXPECT_GT(id, previousId) << name;
    previousId = id;
    // What the agent fetches: the id and the command object's text under key "01".
    const json request = json::parse(Post({{"SSID", "S1"}, {"message_type", "GET_REQUEST"}}));
    EXPECT_EQ(request.value("id", 0LL), id) << name;
    EXPECT_EQ(json::parse(request.value("command", "")), json({{"01", command}})) << name;
  }
  EXPECT_EQ(Post({{"SSID", "S1"}, {"message_type", "GET_REQUEST"}}), "NOT_FOUND");
}

TEST_F(StubPageApi, RejectsBadArgumentsWith400) {
  const std::pair<std::string, std::string> calls[] = {
      {"POST", "/app/reading?session=S1&name=odometer"},
      {"POST", "/app/reading?name=vin"},
      {"POST", "/app/reading?session=a-b&name=vin"},
      {"POST", "/app/reading?session=" + std::string(65, 'a') + "&name=vin"},
      {"GET", "/app/events"},
      {"GET", "/app/events?session=S1&since=-1"},
      {"GET", "/app/events?session=S1&since=x"},
      {"GET", "/app/events?session=S1&wait_ms=10001"},
  };
  for (const auto& [method, target] : calls) {
    EXPECT_EQ(Call(method, target).first, 400) << method << ' ' << target;
  }
  EXPECT_EQ(stub_.QueueLength("S1"), 0u);
}

TEST_F(StubPageApi, EventsTellOneSessionWhatTheAgentPosted) {
  Post({{"SSID", "A"}, {"message_type", "AGENT_CHECK"}, {"revision", "r"}});
  Post({{"SSID", "B"}, {"message_type", "AGENT_CHECK"}, {"revision", "r"}});
  Post({{"SSID", "A"},
        {"message_type", "INTERFACE_CHECK"},
        {"status", "PRESENT"},
        {"discovered", "ELM327 v1.5 on COM3"}});
  Post(
      {{"SSID", "A"}, {"message_type", "RESPONSE"}, {"id", 7}, {"response", "{\"01\":\"12.6V\"}"}});
  Post({{"SSID", "A"}, {"message_type", "RESPONSE"}, {"id", nullptr}, {"response", "null"}});
  Post({{"SSID", "A"}, {"message_type", "NONSENSE"}});

  const auto [status, body] = Call("GET", "/app/events?session=A");
  ASSERT_EQ(status, 200);
  EXPECT_EQ(body["last"], 6);
  EXPECT_EQ(body["events"], json::parse(R"([
              {"sequence":1,"type":"AGENT_CHECK"},
              {"sequence":3,"type":"INTERFACE_CHECK","discovered":"ELM327 v1.5 on COM3"},
              {"sequence":4,"type":"RESPONSE","id":7,"answers":{"01":"12.6V"}},
              {"sequence":5,"type":"RESPONSE","id":null,"answers":null,"response":"null"},
              {"sequence":6,"type":"REJECTED","error":"unknown message_type NONSENSE"}
            ])"));
  const auto [laterStatus, later] = Call("GET", "/app/events?session=A&since=4");
  EXPECT_EQ(later["events"].size(), 2u);
  EXPECT_EQ(Call("GET", "/app/events?session=A&since=6").second["events"], json::array());
}

TEST_F(StubPageApi, EventsWaitForTheSessionNotForOthers) {
  std::thread poster([this] {
    httplib::Client other("127.0.0.1", port_);
    const auto post = [&](const char* ssid) {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      other.Post("/DEV/Agent.php",
                 AgentForm({{"SSID", ssid}, {"message_type", "AGENT_CHECK"}, {"revision", "r"}}),
                 "application/x-www-form-urlencoded");
    };
    post("OTHER");
    post("MINE");
  });
  const auto started = std::chrono::steady_clock::now();
  const auto [status, body] = Call("GET", "/app/events?session=MINE&wait_ms=10000");
  const auto waited = std::chrono::steady_clock::now() - started;
  poster.join();
  ASSERT_EQ(status, 200);
  ASSERT_EQ(body["events"].size(), 1u) << body.dump();
  EXPECT_EQ(body["events"][0]["sequence"], 2);
  EXPECT_EQ(body["last"], 2);
  EXPECT_LT(waited, std::chrono::seconds(9)) << "woke only at the bound";
  // Nothing more comes: the wait ends at its bound with no events.
  EXPECT_EQ(Call("GET", "/app/events?session=MINE&since=2&wait_ms=300").second["events"],
            json::array());
}

TEST(StubPageFolder, ServedUnderTheRootBesideTheRoutesOfEveryListener) {
  TempFolder folder;
  std::ofstream(folder.Path() / "index.html") << "<p>page</p>";
  std::ofstream(folder.Path() / "app.js") << "export {};";
  morvanix::stub::StubOptions options;
  options.pageFolder = folder.Path().string();
  RemoteStub stub(options);
  const int port = stub.Start("127.0.0.1", 0);
  ASSERT_GT(port, 0);
  const int second = stub.AddListener(std::make_unique<httplib::Server>(), "127.0.0.1", 0);
  ASSERT_GT(second, 0);
  for (const int each : {port, second}) {
    httplib::Client client("127.0.0.1", each);
    const auto page = client.Get("/");
    ASSERT_TRUE(page) << each;
    EXPECT_EQ(page->body, "<p>page</p>");
    const auto script = client.Get("/app.js");
    ASSERT_TRUE(script) << each;
    EXPECT_EQ(script->get_header_value("Content-Type"), "text/javascript");
    const auto queue = client.Get("/control/queue?ssid=X");
    ASSERT_TRUE(queue) << each;
    EXPECT_EQ(queue->status, 200);
  }
  stub.Stop();
  httplib::Client afterStop("127.0.0.1", second);
  afterStop.set_connection_timeout(2, 0);
  EXPECT_FALSE(afterStop.Get("/control/queue?ssid=X")) << "the second listener outlived Stop";
}

TEST(StubPageFolder, MissingFolderFailsTheStart) {
  morvanix::stub::StubOptions options;
  options.pageFolder = "/nonexistent/page/folder";
  RemoteStub stub(options);
  EXPECT_EQ(stub.Start("127.0.0.1", 0), -1);
}

}  // namespace
