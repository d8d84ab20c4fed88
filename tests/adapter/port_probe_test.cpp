#include "adapter/port_probe.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "adapter/serial_port.h"
#include "fake_serial_backend.h"

using namespace morvanix;

namespace {

struct ProbeCase {
  const char* label;
  int openCode;
  SerialOpenError openError;
  std::vector<std::vector<std::string>> replies;  // one per reset command
  ProbeVerdict verdict;
  std::size_t resets;  // reset commands written
  std::string banner;
  std::string openErrorText;
};

void PrintTo(const ProbeCase& c, std::ostream* os) {
  *os << c.label;
}

class ProbeTest : public ::testing::TestWithParam<ProbeCase> {};

TEST_P(ProbeTest, VerdictOfOneDevice) {
  const ProbeCase& c = GetParam();
  FakeSerialRecord record;
  record.openError = c.openError;
  for (const auto& reply : c.replies) record.replies.push_back(reply);
  SerialPort port(FakeMaker(record, c.openCode));

  const PortProbe probe =
      detail::ProbeAt(port, "\\\\.\\COM5", 9600, detail::ResetWait::kShort, StopToken{});

  EXPECT_EQ(probe.verdict, c.verdict);
  EXPECT_EQ(record.writes.size(), c.resets);
  EXPECT_EQ(probe.banner, c.banner);
  EXPECT_EQ(probe.openError, c.openErrorText);
  EXPECT_EQ(probe.baudRate, 9600);
  EXPECT_FALSE(port.IsOpen());  // released whatever happened
  if (c.openCode == 0) {
    EXPECT_EQ(record.line.baudRate, 9600);
  }
}

const std::vector<std::string> kEchoed = {"ATZ\r\r\rELM327 v1.5\r\r>"};
const std::vector<std::string> kUnechoed = {"\r\rELM327 v1.5\r\r>"};
const std::vector<std::string> kOk = {"OK\r\r>"};

INSTANTIATE_TEST_SUITE_P(
    Probes, ProbeTest,
    ::testing::Values(
        ProbeCase{"Echoed", 0, {}, {kEchoed}, ProbeVerdict::kAdapter, 1, "ELM327 v1.5", ""},
        // Another program left the echo off: the first reset answers unechoed, the second
        // comes back with the echo.
        ProbeCase{"EchoLeftOff",
                  0,
                  {},
                  {kUnechoed, kEchoed},
                  ProbeVerdict::kAdapter,
                  2,
                  "ELM327 v1.5",
                  ""},
        ProbeCase{"OkWithoutEchoTwice", 0, {}, {kOk, kOk}, ProbeVerdict::kNotAdapter, 2, "", ""},
        // Without a prompt there is no second try.
        ProbeCase{"NoPromptNoRetry", 0, {}, {{"\r\nOK\r\n"}}, ProbeVerdict::kNotAdapter, 1, "", ""},
        ProbeCase{"NulBeforeTheEcho",
                  0,
                  {},
                  {{std::string("\0ATZ\r\r\0ELM327 v1.5\r\r>", 21)}},
                  ProbeVerdict::kAdapter,
                  1,
                  "ELM327 v1.5",
                  ""},
        ProbeCase{"Silent", 0, {}, {}, ProbeVerdict::kSilent, 1, "", ""},
        ProbeCase{"Busy",
                  1,
                  {true, "Device or resource busy"},
                  {},
                  ProbeVerdict::kBusy,
                  0,
                  "",
                  "Device or resource busy"},
        ProbeCase{"Missing",
                  1,
                  {false, "No such file or directory"},
                  {},
                  ProbeVerdict::kCannotOpen,
                  0,
                  "",
                  "No such file or directory"}),
    [](const ::testing::TestParamInfo<ProbeCase>& info) { return info.param.label; });

}  // namespace
