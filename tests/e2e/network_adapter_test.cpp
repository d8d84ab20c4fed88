// Adapters on the network and adapters the user names, against the real agent. The binary
// runs in a network namespace of its own, so the Wi-Fi adapter's network (a veth pair holding
// 192.168.0.2/24 and 192.168.0.10/24) and port 8070 never touch the machine's own.
#include <sched.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "agent_fixture.h"
#include "tcp_adapter_server.h"

using namespace std::chrono_literals;

namespace {

bool privateNetwork = false;

bool Run(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// The computer joined to a Wi-Fi adapter's access point.
class WifiNetwork {
 public:
  WifiNetwork() {
    ready_ = Run("ip link add mvxwifi0 type veth peer name mvxwifi1") &&
             Run("ip addr add 192.168.0.2/24 dev mvxwifi0") &&
             Run("ip addr add 192.168.0.10/24 dev mvxwifi1") && Run("ip link set mvxwifi0 up") &&
             Run("ip link set mvxwifi1 up");
  }
  ~WifiNetwork() { Run("ip link del mvxwifi0"); }
  bool Ready() const { return ready_; }

 private:
  bool ready_ = false;
};

constexpr const char* kWifiAt = "192.168.0.10";
constexpr int kWifiPort = 35000;

class NetworkAdapters : public AgentFixture {
 protected:
  void SetUp() override {
    if (!privateNetwork) GTEST_SKIP() << "no network namespace of its own (needs root)";
    AgentFixture::SetUp();
  }
  void TearDown() override {
    unsetenv("MORVANIX_ADAPTER");
    if (privateNetwork) AgentFixture::TearDown();
  }

  void JoinWifi() {
    network_ = std::make_unique<WifiNetwork>();
    ASSERT_TRUE(network_->Ready());
  }

  // A simulated adapter served over TCP, as a Wi-Fi adapter serves (a new one each call, as
  // after a power cycle).
  void ServeOverTcp(const std::string& host = kWifiAt, int port = kWifiPort,
                    AdapterProfile profile = AdapterProfile::kElm) {
    if (tcpServer_) tcpServer_->Stop();
    tcpSim_ = std::make_unique<AdapterSimulator>(FastAdapterSimOptions(profile));
    ASSERT_TRUE(tcpSim_->Start()) << tcpSim_->error();
    tcpServer_ = std::make_unique<TcpAdapterServer>(tcpSim_->slavePath(), host, port);
    ASSERT_TRUE(tcpServer_->Start()) << tcpServer_->error();
  }

  std::string Discovered(std::size_t i) {
    const auto reports = Received("INTERFACE_CHECK");
    return i < reports.size() ? reports[i].parsed.value("discovered", "") : "(no report)";
  }

  nlohmann::json Response(std::size_t i) {
    const auto responses = Received("RESPONSE");
    if (i >= responses.size()) return {};
    return nlohmann::json::parse(responses[i].parsed["response"].get<std::string>());
  }

  std::unique_ptr<WifiNetwork> network_;
  std::unique_ptr<AdapterSimulator> tcpSim_;
  std::unique_ptr<TcpAdapterServer> tcpServer_;
};

TEST_F(NetworkAdapters, WifiAdapterIsFoundAndItsAnswersComeWhole) {
  JoinWifi();
  ServeOverTcp();
  StartAgent();
  ASSERT_TRUE(Get("/AC/w1"));
  EXPECT_EQ(Discovered(0), "ELM327 v1.5 on 192.168.0.10:35000");

  stub_.Enqueue("w1",
                R"({"id": 4, "command": "{\"01\":\"ATRV\",\"02\":\"0100\",\"03\":\"0902\"}"})");
  ASSERT_TRUE(Get("/RQ/w1"));
  const nlohmann::json answers = Response(0);
  EXPECT_EQ(answers.value("01", ""), "12.6V");
  EXPECT_EQ(answers.value("02", ""), "SEARCHING...41 00 BE 3F A8 13 41 00 98 18 80 10 ");
  // A multi-line answer longer than one TCP read: every line, in order.
  EXPECT_EQ(answers.value("03", ""),
            "0140: 49 02 01 31 53 49 1: 4D 56 49 4E 30 30 30 2: 30 30 30 30 30 34 32 ");
}

TEST_F(NetworkAdapters, SerialAdapterOnCom3IsChosenBeforeTheWifiAdapter) {
  JoinWifi();
  ServeOverTcp();
  AttachAdapter(3);
  StartAgent();
  ASSERT_TRUE(Get("/AC/w2"));
  EXPECT_EQ(Discovered(0), "ELM327 v1.5 on COM3");
  EXPECT_EQ(tcpServer_->Connections(), 0);
}

// A named adapter is tried before COM3 and reported under the name as given.
class NamedAdapter : public NetworkAdapters, public ::testing::WithParamInterface<bool> {};

TEST_P(NamedAdapter, ComesBeforeCom3) {
  const bool tcp = GetParam();
  AttachAdapter(3);
  std::string name;
  std::unique_ptr<AdapterSimulator> tty;
  if (tcp) {
    ServeOverTcp("127.0.0.1", 0);
    name = "tcp://127.0.0.1:" + std::to_string(tcpServer_->Port());
  } else {
    tty = std::make_unique<AdapterSimulator>(FastAdapterSimOptions(AdapterProfile::kElm));
    ASSERT_TRUE(tty->Start());
    name = tty->slavePath();
  }
  setenv("MORVANIX_ADAPTER", name.c_str(), 1);
  StartAgent();
  ASSERT_TRUE(Get("/AC/n1"));
  EXPECT_EQ(Discovered(0), "ELM327 v1.5 on " + name);
  stub_.Enqueue("n1", R"({"id": 1, "command": "{\"01\":\"ATRV\"}"})");
  ASSERT_TRUE(Get("/RQ/n1"));
  EXPECT_EQ(Response(0).value("01", ""), "12.6V");
}

INSTANTIATE_TEST_SUITE_P(TcpOrTty, NamedAdapter, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "Tcp" : "TtyPath";
                         });

// A connection the adapter resets is an unplugged adapter: the rest of the request gets "ERROR",
// the next relay logs the disconnect and fetches nothing, and the next check finds it again.
TEST_F(NetworkAdapters, WifiLinkDroppedAfterDiscoveryIsAnUnpluggedAdapter) {
  JoinWifi();
  ServeOverTcp();
  StartAgent();
  ASSERT_TRUE(Get("/AC/d1"));
  ASSERT_EQ(Discovered(0), "ELM327 v1.5 on 192.168.0.10:35000");

  tcpServer_->DropConnection();
  stub_.Enqueue("d1", R"({"id": 2, "command": "{\"01\":\"ATRV\",\"02\":\"ATI\"}"})");
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(Get("/RQ/d1"));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);  // not 10 s per lost command
  // The command that met the reset gets what came (nothing), the rest "ERROR".
  EXPECT_EQ(Response(0).value("01", "(none)"), "");
  EXPECT_EQ(Response(0).value("02", ""), "ERROR");

  const std::size_t fetches = Received("GET_REQUEST").size();
  ASSERT_TRUE(Get("/RQ/d1"));
  EXPECT_EQ(Received("GET_REQUEST").size(), fetches);
  EXPECT_NE(EventLog().find(": Unhandled disconnect condition. Please restart session.\n"),
            std::string::npos);

  ASSERT_TRUE(Get("/AC/d1"));
  EXPECT_EQ(Discovered(1), "ELM327 v1.5 on 192.168.0.10:35000");
  stub_.Enqueue("d1", R"({"id": 3, "command": "{\"01\":\"ATRV\"}"})");
  ASSERT_TRUE(Get("/RQ/d1"));
  EXPECT_EQ(Response(1).value("01", ""), "12.6V");
}

// Off the Wi-Fi network nothing is tried there, and a check that finds nothing stays quick.
TEST_F(NetworkAdapters, NoAdapterAndNoWifiNetworkCheckStaysQuick) {
  StartAgent();
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(Get("/AC/q1"));
  const auto took =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start);
  std::printf("agent check with no adapter and no 192.168.0.x address: %.1f ms\n", took.count());
  EXPECT_TRUE(Received("INTERFACE_CHECK").empty());
  EXPECT_LT(took, 5s);  // a hang, not a speed limit
}

}  // namespace

int main(int argc, char** argv) {
  // Before any thread exists, so that every thread and child shares the namespace.
  if (unshare(CLONE_NEWNET) == 0 && Run("ip link set lo up")) privateNetwork = true;
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
