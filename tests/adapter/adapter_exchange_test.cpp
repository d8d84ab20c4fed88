#include "adapter/adapter_exchange.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "adapter/port_probe.h"
#include "adapter/serial_port.h"
#include "sim_ports.h"

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

// The exchange around its answer, on a simulated adapter: what is sent, what is thrown away,
// and the port after it. The answer's own bounds (silence, total, memory, the stop under way)
// are the collector's.
TEST(ExchangeEdges, SendsOnlyOnAReadyPortBeforeTheStopAndDropsWhatCameBefore) {
  const struct {
    const char* label;
    AdapterProfile profile;
    bool open;
    const char* sentBefore;  // written first, its answer left unread
    bool stopped;            // the stop came before the exchange
    const char* command;
    std::string answer;
    std::size_t commandsReceived, interleaved;
    bool openAfter;
  } cases[] = {
      {"closed port: ERROR, nothing sent", AdapterProfile::kElm, false, nullptr, false, "ATI",
       "ERROR", 0, 0, false},
      {"stale input discarded, never returned", AdapterProfile::kElm, true, "ATI\r", false, "ATRV",
       "12.6V", 2, 0, true},
      // The held-back answer is not the echo, so none of it is dropped, and its prompt ends
      // the exchange; what follows is the next exchange's to throw away.
      {"a late answer comes with the next command", AdapterProfile::kLate, true, "ATI\r", false,
       "ATRV", "ELM327 v1.5", 2, 1, true},
      {"a stop before: nothing sent", AdapterProfile::kElm, true, nullptr, true, "ATI", "", 0, 0,
       true},
      // Unplugged in the middle of the answer: what arrived, and the port closed.
      {"vanished device", AdapterProfile::kVanish, true, nullptr, false, "0100",
       "SEARCHING...41 00 BE 3F A", 1, 0, false},
  };
  for (const auto& c : cases) {
    SimulatedComPorts ports;
    AdapterSimulator* sim = ports.Add(3, c.profile);
    ASSERT_NE(sim, nullptr) << c.label;
    SerialPort port("\\\\.\\COM3", kAdapterBaudRate, 8, 'N', 1.0f);
    if (c.open) {
      ASSERT_EQ(port.Open(), 0) << c.label;
    }
    if (c.sentBefore != nullptr) {
      ASSERT_TRUE(port.Write(c.sentBefore, {})) << c.label;
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    StopSource stop;
    if (c.stopped) stop.RequestStop();
    const auto start = Clock::now();
    EXPECT_EQ(ExchangeCommand(c.command, &port, stop.Token()), c.answer) << c.label;
    if (!c.open) {
      EXPECT_EQ(ExchangeCommand(c.command, nullptr), "ERROR");
    }
    // Far from the 10 s silence bound, however loaded the machine.
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5)) << c.label;
    EXPECT_EQ(port.IsOpen(), c.openAfter) << c.label;
    // Whatever was sent has reached the simulator by now.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(sim->CommandsReceived(), c.commandsReceived) << c.label;
    EXPECT_EQ(sim->InterleavedCommands(), c.interleaved) << c.label;
  }
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
