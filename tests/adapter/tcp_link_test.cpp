#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "adapter/adapter_exchange.h"
#include "adapter/serial_port.h"
#include "sim_ports.h"
#include "tcp_adapter_server.h"

using namespace morvanix;

namespace {

// One simulated adapter reached both ways: linked as COM3 and served over TCP on loopback.
struct BothWays {
  explicit BothWays(AdapterSimOptions options) {
    serialSim = ports.Add(3, options);
    options.linkPath.clear();
    tcpSim = std::make_unique<AdapterSimulator>(options);
    if (serialSim == nullptr || !tcpSim->Start()) return;
    server = std::make_unique<TcpAdapterServer>(tcpSim->slavePath(), "127.0.0.1", 0);
    if (!server->Start()) server.reset();
  }
  bool Ready() const { return serialSim != nullptr && server != nullptr; }
  std::string TcpName() const { return "tcp://127.0.0.1:" + std::to_string(server->Port()); }

  SimulatedComPorts ports;
  AdapterSimulator* serialSim = nullptr;
  std::unique_ptr<AdapterSimulator> tcpSim;
  std::unique_ptr<TcpAdapterServer> server;
};

TEST(TcpLink, AnswersAreThoseOfTheSerialPort) {
  struct Case {
    AdapterProfile profile;
    bool bursts;
  } cases[] = {{AdapterProfile::kElm, false}, {AdapterProfile::kElm, true}};
  // Commands whose answers do not change with time.
  const char* commands[] = {"ATZ", "ATE0", "0100", "0902", "ATRV"};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bursts ? "bursts" : "steady");
    AdapterSimOptions options = FastAdapterSimOptions(c.profile);
    options.bursts = c.bursts;
    BothWays adapter(options);
    ASSERT_TRUE(adapter.Ready());
    SerialPort serial("\\\\.\\COM3", 38400, 8, 'N', 1.0f);
    SerialPort tcp(adapter.TcpName(), 38400, 8, 'N', 1.0f);
    ASSERT_EQ(serial.Open(), 0);
    ASSERT_EQ(tcp.Open(), 0) << tcp.LastOpenError().reason;
    for (const char* command : commands) {
      SCOPED_TRACE(command);
      const std::string overSerial = ExchangeCommand(command, &serial);
      EXPECT_FALSE(overSerial.empty());
      EXPECT_EQ(ExchangeCommand(command, &tcp), overSerial);
    }
  }
}

// The reset reaches every connection open, also one connected but not yet served (a host
// that closed its last connection and opened the next before the adapter looked).
TEST(TcpLink, ConnectionResetIsAnUnpluggedAdapter) {
  for (const bool oneWaiting : {false, true}) {
    SCOPED_TRACE(oneWaiting ? "one waiting behind the served one" : "the served one alone");
    BothWays adapter(FastAdapterSimOptions(AdapterProfile::kElm));
    ASSERT_TRUE(adapter.Ready());
    SerialPort served(adapter.TcpName(), 38400, 8, 'N', 1.0f);
    ASSERT_EQ(served.Open(), 0);
    EXPECT_FALSE(ExchangeCommand("0100", &served).empty());
    SerialPort waiting(adapter.TcpName(), 38400, 8, 'N', 1.0f);
    if (oneWaiting) {
      ASSERT_EQ(waiting.Open(), 0);
    }
    adapter.server->DropConnection();
    for (SerialPort* tcp : {&served, &waiting}) {
      if (!tcp->IsOpen()) continue;
      const auto start = std::chrono::steady_clock::now();
      ExchangeCommand("0100", tcp);
      EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
      EXPECT_FALSE(tcp->IsOpen());
      EXPECT_EQ(ExchangeCommand("0100", tcp), "ERROR");
    }
    // Found again: a new connection is taken.
    ASSERT_EQ(served.Open(), 0);
    EXPECT_FALSE(ExchangeCommand("0100", &served).empty());
  }
}

TEST(TcpLink, NothingListeningFailsTheOpenAtOnceWithTheReason) {
  BothWays adapter(FastAdapterSimOptions(AdapterProfile::kElm));
  ASSERT_TRUE(adapter.Ready());
  const std::string name = adapter.TcpName();
  adapter.server->Stop();
  SerialPort tcp(name, 38400, 8, 'N', 1.0f);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(tcp.Open(), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  EXPECT_FALSE(tcp.IsOpen());
  EXPECT_FALSE(tcp.LastOpenError().reason.empty());
}

}  // namespace
