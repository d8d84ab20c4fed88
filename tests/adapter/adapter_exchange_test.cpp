#include "adapter/adapter_exchange.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "adapter/serial_port.h"
#include "sim_ports.h"
#include "stop_later.h"

using namespace morvanix;

namespace {

using Clock = std::chrono::steady_clock;

struct ExchangeCase {
  const char* label;
  AdapterProfile profile;
  bool bursts;
  std::vector<std::string> before;  // commands exchanged first, answers not checked
  std::string command;
  std::string answer;
};

void PrintTo(const ExchangeCase& c, std::ostream* os) {
  *os << c.label;
}

class ExchangeTest : public ::testing::TestWithParam<ExchangeCase> {};

TEST_P(ExchangeTest, AnswerWithoutEchoCarriageReturnsAndPrompt) {
  const ExchangeCase& c = GetParam();
  SimulatedComPorts ports;
  AdapterSimOptions options = FastAdapterSimOptions(c.profile);
  options.bursts = c.bursts;
  ASSERT_NE(ports.Add(3, options), nullptr);
  SerialPort port("\\\\.\\COM3", 38400, 8, 'N', 1.0f);
  ASSERT_EQ(port.Open(), 0);
  for (const std::string& command : c.before) ExchangeCommand(command, &port);
  EXPECT_EQ(ExchangeCommand(c.command, &port), c.answer);
}

const std::string kVinH0 =
    "014"
    "0: 49 02 01 31 53 49 "
    "1: 4D 56 49 4E 30 30 30 "
    "2: 30 30 30 30 30 34 32 ";

INSTANTIATE_TEST_SUITE_P(
    ExchangeSim, ExchangeTest,
    ::testing::Values(
        ExchangeCase{"FirstObdRequestSearches",
                     AdapterProfile::kElm,
                     false,
                     {},
                     "0100",
                     "SEARCHING...41 00 BE 3F A8 13 41 00 98 18 80 10 "},
        ExchangeCase{"ObdAfterSearch", AdapterProfile::kElm, false, {"0100"}, "0105", "41 05 7B "},
        ExchangeCase{"Headers",
                     AdapterProfile::kElm,
                     false,
                     {"ATH1", "0100"},
                     "0100",
                     "7E8 06 41 00 BE 3F A8 13 7E9 06 41 00 98 18 80 10 "},
        ExchangeCase{"SpacesOff", AdapterProfile::kElm, false, {"ATS0", "0100"}, "0105", "41057B"},
        ExchangeCase{"LineFeedsKept", AdapterProfile::kElm, false, {"ATL1"}, "ATRV", "\n12.6V\n\n"},
        ExchangeCase{"EmptyCommandRepeats", AdapterProfile::kElm, false, {"ATRV"}, "", "12.6V"},
        ExchangeCase{"UnknownCommand", AdapterProfile::kElm, false, {}, "HELLO", "?"},
        ExchangeCase{"CaseAndSpaces", AdapterProfile::kElm, false, {}, "at i", "ELM327 v1.5"},
        ExchangeCase{"MultiFrameInBursts", AdapterProfile::kElm, true, {"0100"}, "0902", kVinH0},
        ExchangeCase{"UnsupportedPid", AdapterProfile::kElm, false, {"0100"}, "0142", "NO DATA"},
        ExchangeCase{
            "NoEchoAnswerComesBackWhole", AdapterProfile::kNoEcho, false, {}, "ATI", "ELM327 v1.5"},
        ExchangeCase{"NulBytesDropped", AdapterProfile::kNul, false, {}, "ATRV", "12.6V"},
        ExchangeCase{"IgnitionOff",
                     AdapterProfile::kIgnitionOff,
                     false,
                     {},
                     "0100",
                     "SEARCHING...UNABLE TO CONNECT"}),
    [](const ::testing::TestParamInfo<ExchangeCase>& info) { return info.param.label; });

TEST(ExchangeEdges, ClosedPortGivesErrorWithoutTraffic) {
  SimulatedComPorts ports;
  AdapterSimulator* sim = ports.Add(3, AdapterProfile::kElm);
  ASSERT_NE(sim, nullptr);
  SerialPort port("\\\\.\\COM3", 38400, 8, 'N', 1.0f);
  EXPECT_EQ(ExchangeCommand("ATI", &port), "ERROR");
  EXPECT_EQ(ExchangeCommand("ATI", nullptr), "ERROR");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(sim->CommandsReceived(), 0u);
}

TEST(ExchangeEdges, StaleInputIsDiscardedNeverReturned) {
  SimulatedComPorts ports;
  ASSERT_NE(ports.Add(3, AdapterProfile::kElm), nullptr);
  SerialPort port("\\\\.\\COM3", 38400, 8, 'N', 1.0f);
  ASSERT_EQ(port.Open(), 0);
  port.Write("ATI\r");  // its answer waits unread
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(ExchangeCommand("ATRV", &port), "12.6V");
}

TEST(ExchangeEdges, SilentAdapterGivesEmptyAnswerAfterAboutTenSeconds) {
  SimulatedComPorts ports;
  ASSERT_NE(ports.Add(3, AdapterProfile::kSilent), nullptr);
  SerialPort port("\\\\.\\COM3", 38400, 8, 'N', 1.0f);
  ASSERT_EQ(port.Open(), 0);
  const auto start = Clock::now();
  EXPECT_EQ(ExchangeCommand("0100", &port), "");
  const auto took = Clock::now() - start;
  EXPECT_GT(took, std::chrono::seconds(8));
  EXPECT_LT(took, std::chrono::seconds(30));
}

// The service's stop ends an exchange under way at once, not at its 10 s bound.
TEST(ExchangeEdges, StopEndsTheExchangeAtOnce) {
  SimulatedComPorts ports;
  ASSERT_NE(ports.Add(3, AdapterProfile::kSilent), nullptr);
  SerialPort port("\\\\.\\COM3", 38400, 8, 'N', 1.0f);
  ASSERT_EQ(port.Open(), 0);
  StopSource stop;
  StopLater stopper(stop, std::chrono::milliseconds(50));
  const auto start = Clock::now();
  EXPECT_EQ(ExchangeCommand("0100", &port, stop.Token()), "");
  const auto took = Clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(45));
  EXPECT_LT(took, std::chrono::seconds(2));  // far from the 10 s bound, however loaded the machine
  EXPECT_TRUE(port.IsOpen());
}

TEST(ExchangeEdges, EndlessStreamEndsAtTheMemoryBound) {
  SimulatedComPorts ports;
  ASSERT_NE(ports.Add(3, AdapterProfile::kEndless), nullptr);
  SerialPort port("\\\\.\\COM3", 38400, 8, 'N', 1.0f);
  ASSERT_EQ(port.Open(), 0);
  const auto start = Clock::now();
  const std::string answer = ExchangeCommand("0100", &port);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(20));
  EXPECT_GE(answer.size(), 90u);
  EXPECT_LE(answer.size(), 64u * 1024u + 1024u);  // the bound, overshot by one pass at most
  EXPECT_NE(answer.find("41 0C 1A F8"), std::string::npos);
}

TEST(ExchangeEdges, VanishedDeviceEndsWithWhatArrived) {
  SimulatedComPorts ports;
  AdapterSimulator* sim = ports.Add(3, AdapterProfile::kVanish);
  ASSERT_NE(sim, nullptr);
  SerialPort port("\\\\.\\COM3", 38400, 8, 'N', 1.0f);
  ASSERT_EQ(port.Open(), 0);
  const auto start = Clock::now();
  EXPECT_EQ(ExchangeCommand("0100", &port), "SEARCHING...41 00 BE 3F A");
  EXPECT_TRUE(sim->Vanished());
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(30));
}

TEST(ExchangeEdges, LateAnswerArrivesWithTheNextCommand) {
  SimulatedComPorts ports;
  AdapterSimulator* sim = ports.Add(3, AdapterProfile::kLate);
  ASSERT_NE(sim, nullptr);
  SerialPort port("\\\\.\\COM3", 38400, 8, 'N', 1.0f);
  ASSERT_EQ(port.Open(), 0);
  // The first answer is held back; it is not the echo, so none of it is dropped, and its
  // prompt ends the exchange. What follows is the next exchange's to throw away.
  port.Write("ATI\r");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(ExchangeCommand("ATRV", &port), "ELM327 v1.5");
  EXPECT_EQ(sim->InterleavedCommands(), 1u);
}

// The counter the end-to-end lock tests rely on: a command that starts before the previous
// prompt went out is counted, commands that wait for it are not.
TEST(ExchangeSimulator, CountsInterleavedCommands) {
  SimulatedComPorts ports;
  AdapterSimulator* sim = ports.Add(3, AdapterProfile::kElm);
  ASSERT_NE(sim, nullptr);
  SerialPort port("\\\\.\\COM3", 38400, 8, 'N', 1.0f);
  ASSERT_EQ(port.Open(), 0);
  EXPECT_EQ(ExchangeCommand("ATI", &port), "ELM327 v1.5");
  EXPECT_EQ(ExchangeCommand("ATRV", &port), "12.6V");
  EXPECT_EQ(sim->InterleavedCommands(), 0u);
  // Two commands in one: the first prompt ends the answer, before the adapter has taken
  // the second command.
  EXPECT_EQ(ExchangeCommand("ATI\rATRV", &port), "ATIELM327 v1.5");
  const auto until = Clock::now() + std::chrono::seconds(5);
  while (sim->CommandsReceived() < 4 && Clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(sim->InterleavedCommands(), 1u);
  EXPECT_EQ(sim->CommandsReceived(), 4u);
}

}  // namespace
