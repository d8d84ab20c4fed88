#include "adapter/adapter_candidates.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "adapter/adapter_name.h"

using namespace morvanix;

namespace {

struct NameCase {
  const char* text;
  bool valid;
  const char* portName;  // valid: what SerialPort opens
  bool tcp;
};

TEST(AdapterName, ParsesSerialDevicesTcpAndBleAdapters) {
  const NameCase cases[] = {
      {"COM7", true, "\\\\.\\COM7", false},
      {"com42", true, "\\\\.\\COM42", false},
      {"\\\\.\\COM42", true, "\\\\.\\COM42", false},
      {"/dev/rfcomm0", true, "/dev/rfcomm0", false},
      {"COM0", true, "COM0", false},  // no COM number: taken as a path
      {"tcp://192.168.4.1:35000", true, "tcp://192.168.4.1:35000", true},
      {"tcp://obd.local:23", true, "tcp://obd.local:23", true},
      {"tcp://[fe80::1]:35000", true, "tcp://[fe80::1]:35000", true},
      {"", false, "", false},
      {"   ", false, "", false},
      {"/dev/tty\nUSB0", false, "", false},
      {"udp://192.168.0.10:35000", false, "", false},
      {"tcp://192.168.0.10", false, "", false},
      {"tcp://:35000", false, "", false},
      {"tcp://192.168.0.10:0", false, "", false},
      {"tcp://192.168.0.10:65536", false, "", false},
      {"tcp://192.168.0.10:35x", false, "", false},
      {"tcp://fe80::1:35000", false, "", false},
      {"tcp://user@host:35000", false, "", false},
      {"ble:00:1d:a5:68:98:8a", true, "ble:00:1D:A5:68:98:8A", false},
      {"ble:00:1D:A5:68:98", false, "", false},
      {"ble:00-1D-A5-68-98-8A", false, "", false},
      {"ble:", false, "", false},
  };
  for (const NameCase& c : cases) {
    SCOPED_TRACE(c.text);
    std::string problem;
    const std::optional<NamedAdapter> named = ParseAdapterName(c.text, &problem);
    ASSERT_EQ(named.has_value(), c.valid);
    if (!c.valid) {
      EXPECT_FALSE(problem.empty());
      continue;
    }
    EXPECT_EQ(named->given, c.text);
    EXPECT_EQ(named->portName, c.portName);
    EXPECT_EQ(named->tcp, c.tcp);
    EXPECT_EQ(named->ble, std::string(c.text).rfind("ble:", 0) == 0);
  }
}

std::vector<std::string> reports;
void Keep(const char* text) {
  reports.emplace_back(text);
}

TEST(AdapterName, MalformedValueIsReportedOnceAndIgnored) {
  reports.clear();
  EXPECT_EQ(detail::NamedAdapterFrom(nullptr, Keep), std::nullopt);
  EXPECT_TRUE(detail::NamedAdapterFrom("COM7", Keep).has_value());
  EXPECT_TRUE(reports.empty());
  EXPECT_EQ(detail::NamedAdapterFrom("tcp://192.168.0.10:99999", Keep), std::nullopt);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("MORVANIX_ADAPTER \"tcp://192.168.0.10:99999\""), std::string::npos)
      << reports[0];
}

TEST(AdapterCandidates, OneToSixteenThenListedPortsAboveInNumericOrder) {
  std::vector<int> fixed;
  for (int n = 1; n <= 16; ++n) fixed.push_back(n);
  auto with = [&](std::vector<int> more) {
    std::vector<int> all = fixed;
    all.insert(all.end(), more.begin(), more.end());
    return all;
  };
  struct Case {
    std::vector<ListedSerialPort> listed;
    std::vector<int> order;
  } cases[] = {
      {{}, fixed},
      {{{3, "a"}, {16, "b"}}, fixed},  // listed ports within 1 to 16 keep their place
      {{{257, "a"}, {21, "b"}, {3, "c"}, {125, "d"}, {22, "e"}}, with({21, 22, 125, 257})},
      {{{17, "a"}, {17, "b"}}, with({17})},
  };
  for (const Case& c : cases) EXPECT_EQ(ScanPortNumbers(c.listed), c.order);
}

TEST(AdapterCandidates, WifiOnlyOnTheAccessPointsNetwork) {
  struct Case {
    std::vector<std::uint32_t> addresses;
    bool onNetwork;
  } cases[] = {
      {{}, false},
      {{0x7F000001}, false},              // 127.0.0.1
      {{0x7F000001, 0xC0A80002}, true},   // 192.168.0.2
      {{0xC0A800FE}, true},               // 192.168.0.254
      {{0xC0A80102}, false},              // 192.168.1.2
      {{0xC0A90002}, false},              // 192.169.0.2
      {{0x0AC0A800, 0x00C0A800}, false},  // the bytes elsewhere
  };
  for (const Case& c : cases) EXPECT_EQ(OnWifiAdapterNetwork(c.addresses), c.onNetwork);
}

}  // namespace
