#include "adapter/adapter_discovery.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "adapter/serial_port.h"
#include "base/stop_token.h"
#include "fake_serial_backend.h"
#include "pty_pair.h"
#include "sim_ports.h"
#include "stop_later.h"

using namespace morvanix;

namespace {

struct DiscoveryCase {
  const char* label;
  std::map<int, AdapterProfile> adapters;
  std::vector<int> plainFiles;  // numbers that open but are no terminal
  int foundOn;                  // 0: nothing found
  std::string discovered;
  std::int32_t baudRate = 38400;  // the shared port's rate after the scan
};

void PrintTo(const DiscoveryCase& c, std::ostream* os) {
  *os << c.label;
}

class DiscoveryTest : public ::testing::TestWithParam<DiscoveryCase> {};

TEST_P(DiscoveryTest, FindsTheFirstAdapterAndReportsIt) {
  const DiscoveryCase& c = GetParam();
  SimulatedComPorts ports;
  for (const auto& [n, profile] : c.adapters) ASSERT_NE(ports.Add(n, profile), nullptr);
  for (int n : c.plainFiles) ports.AddPlainFile(n);

  // The shared port starts connected somewhere else; the scan must drop that first.
  PtyPair previous;
  SerialPort adapterPort(previous.path, 38400, 8, 'N', 1.0f);
  ASSERT_EQ(adapterPort.Open(), 0);
  std::atomic<bool> connected{true};

  const std::optional<std::string> discovered =
      DiscoverAdapter(&adapterPort, &connected, StopToken{});

  if (c.foundOn == 0) {
    EXPECT_FALSE(connected.load());
    EXPECT_FALSE(adapterPort.IsOpen());
    EXPECT_EQ(discovered, std::nullopt);
    return;
  }
  EXPECT_TRUE(connected.load());
  EXPECT_TRUE(adapterPort.IsOpen());
  EXPECT_EQ(adapterPort.GetPortName(), "\\\\.\\COM" + std::to_string(c.foundOn));
  EXPECT_EQ(adapterPort.GetBaudRate(), c.baudRate);
  EXPECT_EQ(discovered, c.discovered);
}

INSTANTIATE_TEST_SUITE_P(
    DiscoverySim, DiscoveryTest,
    ::testing::Values(
        DiscoveryCase{"LowestNumberWins",
                      {{2, AdapterProfile::kElm}, {5, AdapterProfile::kElm}},
                      {},
                      2,
                      "ELM327 v1.5 on COM2"},
        DiscoveryCase{"WrongAnswersPassedOver",
                      {{1, AdapterProfile::kOkNoEcho},
                       {2, AdapterProfile::kSilent},
                       {3, AdapterProfile::kNoEcho},
                       {16, AdapterProfile::kElm}},
                      {},
                      16,
                      "ELM327 v1.5 on COM16"},
        DiscoveryCase{
            "EchoOnlyTakenAfterItsPasses", {{4, AdapterProfile::kEchoOnly}}, {}, 4, " on COM4"},
        // A modem echoes the reset command too, and the echo is all the scan looks at.
        DiscoveryCase{"ModemEchoIsTaken", {{6, AdapterProfile::kModem}}, {}, 6, "\nOK\n on COM6"},
        DiscoveryCase{"UnconfigurableDeviceReleasedBeforeTheNext",
                      {{2, AdapterProfile::kElm}},
                      {1},
                      2,
                      "ELM327 v1.5 on COM2"},
        DiscoveryCase{"NoAdapterAnywhere", {{1, AdapterProfile::kSilent}}, {3}, 0, ""},
        DiscoveryCase{
            "OtherRate", {{2, AdapterProfile::kBaud9600}}, {}, 2, "ELM327 v1.5 on COM2", 9600},
        // Other rates are tried only when the agent's own rate found nothing anywhere.
        DiscoveryCase{"OwnRateFirstOnAnyNumber",
                      {{1, AdapterProfile::kBaud115200}, {4, AdapterProfile::kElm}},
                      {},
                      4,
                      "ELM327 v1.5 on COM4"},
        DiscoveryCase{"LowestNumberAtOtherRates",
                      {{1, AdapterProfile::kBaud115200}, {4, AdapterProfile::kBaud9600}},
                      {},
                      1,
                      "ELM327 v1.5 on COM1",
                      115200}),
    [](const ::testing::TestParamInfo<DiscoveryCase>& info) { return info.param.label; });

TEST(Discovery, FindReturnedEvenWhenTheSharedPortFailsToOpen) {
  SimulatedComPorts ports;
  ASSERT_NE(ports.Add(7, AdapterProfile::kElm), nullptr);
  FakeSerialRecord record;
  SerialPort adapterPort(FakeMaker(record, 1));  // its device never opens
  std::atomic<bool> connected{true};

  const std::optional<std::string> discovered =
      DiscoverAdapter(&adapterPort, &connected, StopToken{});

  EXPECT_FALSE(connected.load());
  EXPECT_FALSE(adapterPort.IsOpen());
  EXPECT_EQ(record.openedName, "\\\\.\\COM7");
  EXPECT_EQ(record.line.baudRate, 38400);
  EXPECT_EQ(discovered, "ELM327 v1.5 on COM7");
}

// A service stop must not wait for the scan: here a silent device would hold it 4 s before
// the adapter behind it is found.
TEST(Discovery, AStopEndsTheScanAtOnce) {
  SimulatedComPorts ports;
  ASSERT_NE(ports.Add(1, AdapterProfile::kSilent), nullptr);
  ASSERT_NE(ports.Add(2, AdapterProfile::kElm), nullptr);
  SerialPort adapterPort;
  std::atomic<bool> connected{true};
  StopSource stop;
  StopLater stopper(stop, std::chrono::milliseconds(300));

  const auto started = std::chrono::steady_clock::now();
  const std::optional<std::string> discovered =
      DiscoverAdapter(&adapterPort, &connected, stop.Token());
  const auto took = std::chrono::steady_clock::now() - started;

  EXPECT_EQ(discovered, std::nullopt);
  EXPECT_FALSE(connected.load());
  EXPECT_FALSE(adapterPort.IsOpen());
  EXPECT_LT(took, std::chrono::seconds(2));
}

}  // namespace
