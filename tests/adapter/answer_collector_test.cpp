#include "adapter/answer_collector.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ostream>
#include <string>
#include <vector>

#include "adapter/adapter_exchange.h"
#include "adapter/serial_port.h"
#include "fake_serial_backend.h"
#include "stop_later.h"

using namespace morvanix;

namespace {

using namespace std::string_literals;

struct CollectCase {
  const char* label;
  std::string echo;                 // the command as sent, without its CR
  std::vector<std::string> chunks;  // what the adapter sends, with a gap after each
  std::string answer;
};

void PrintTo(const CollectCase& c, std::ostream* os) {
  *os << c.label;
}

class CollectTest : public ::testing::TestWithParam<CollectCase> {};

// Rows that end without a prompt end at the silence bound, kept short here.
constexpr CollectLimits kTestLimits{std::chrono::milliseconds(50), std::chrono::seconds(5),
                                    64 * 1024};

TEST_P(CollectTest, EchoDroppedOnlyWhenItIsTheEchoAndNulsNeverKept) {
  const CollectCase& c = GetParam();
  FakeSerialRecord record;
  record.replies.push_back(c.chunks);
  SerialPort port(FakeMaker(record, 0));
  ASSERT_EQ(port.Open(), 0);
  port.Write("x", {});  // delivers the scripted reply
  CollectLimits limits = kTestLimits;
  limits.echo = c.echo;
  EXPECT_EQ(CollectAnswer(port, limits, {}), c.answer);
}

const std::string kLongLine = "43 01 33 00 00 00 00 \r";  // 22 bytes

INSTANTIATE_TEST_SUITE_P(
    Answers, CollectTest,
    ::testing::Values(
        CollectCase{"EchoDropped", "0100", {"0100\r41 00 BE 3F A8 13 \r\r>"}, "41 00 BE 3F A8 13 "},
        CollectCase{"NoEchoKeptWhole", "0100", {"41 00 BE 3F A8 13 \r\r>"}, "41 00 BE 3F A8 13 "},
        CollectCase{"AnswerShorterThanTheEcho", "ATRV", {"OK\r>"}, "OK"},
        CollectCase{"EchoCutShortIsStillTheEcho", "0100", {"01"}, ""},
        CollectCase{"EchoInPieces", "0100", {"01", "00\r4", "1 00\r>"}, "41 00"},
        CollectCase{"LikeTheEchoButNotIt", "ATRV", {"ATRW\r>"}, "ATRW"},
        CollectCase{"NulBeforeTheEcho", "ATRV", {"\0ATRV\r12.6V\r\r>"s}, "12.6V"},
        CollectCase{"NulBeforeTheAnswer", "ATRV", {"ATRV\r\0"s, "12.6V\r\r>"}, "12.6V"},
        CollectCase{"NulsWithoutEcho",
                    "ATRV",
                    {"\0"
                     "12.6V\0\r>"s},
                    "12.6V"},
        CollectCase{"LineFeedsKept", "ATRV", {"ATRV\r\n12.6V\r\n>"}, "\n12.6V\n"},
        CollectCase{"NoEchoExpected", "", {"ATZ\r\r\rELM327 v1.5\r\r>"}, "ATZELM327 v1.5"},
        // Bytes after the prompt belong to no answer, also when they come in the same read.
        CollectCase{"PromptEndsItInTheSameBurst", "ATRV", {"ATRV\r12.6V\r\r>ATI\r"}, "12.6V"},
        CollectCase{
            "PromptEndsItBeforeTheNextChunk", "ATRV", {"ATRV\r12.6V\r\r>", "late"}, "12.6V"},
        // Over 100 bytes in pieces: read to the prompt, not cut at a pause or a count.
        CollectCase{
            "LongAnswerInPiecesReadToItsPrompt",
            "03",
            {"03\r" + kLongLine + kLongLine + kLongLine, kLongLine + kLongLine, kLongLine + "\r>"},
            "43 01 33 00 00 00 00 43 01 33 00 00 00 00 43 01 33 00 00 00 00 "
            "43 01 33 00 00 00 00 43 01 33 00 00 00 00 43 01 33 00 00 00 00 "}),
    [](const ::testing::TestParamInfo<CollectCase>& info) { return info.param.label; });

// What ends a collection that gets no prompt, and how long it takes.
TEST(CollectBounds, EndsAtTheFirstBoundOrTheStop) {
  using std::chrono::milliseconds;
  enum class Stop { kNone, kBefore, kDuring };
  const struct {
    const char* label;
    std::string stream;  // sent at once, without a prompt
    CollectLimits limits;
    Stop stop;
    std::size_t answerBytes;
    milliseconds atLeast, below;
  } cases[] = {
      {"silence",
       "",
       {milliseconds(60), milliseconds(5000), 1024},
       Stop::kNone,
       0,
       milliseconds(60),
       milliseconds(1000)},
      {"silence after some bytes",
       "NO DATA",
       {milliseconds(60), milliseconds(5000), 1024},
       Stop::kNone,
       7,
       milliseconds(60),
       milliseconds(1000)},
      {"total",
       "",
       {milliseconds(5000), milliseconds(80), 1024},
       Stop::kNone,
       0,
       milliseconds(80),
       milliseconds(1000)},
      {"memory",
       std::string(10000, 'A'),
       {milliseconds(5000), milliseconds(5000), 3000},
       Stop::kNone,
       3000,
       milliseconds(0),
       milliseconds(1000)},
      {"stop before",
       "",
       {milliseconds(5000), milliseconds(5000), 1024},
       Stop::kBefore,
       0,
       milliseconds(0),
       milliseconds(100)},
      {"stop during",
       "",
       {milliseconds(5000), milliseconds(5000), 1024},
       Stop::kDuring,
       0,
       milliseconds(40),
       milliseconds(1000)},
  };
  for (const auto& c : cases) {
    FakeSerialRecord record;
    record.replies.push_back({c.stream});
    SerialPort port(FakeMaker(record, 0));
    ASSERT_EQ(port.Open(), 0);
    port.Write("x", {});
    StopSource stop;
    if (c.stop == Stop::kBefore) stop.RequestStop();
    StopLater stopper(stop, milliseconds(40), c.stop == Stop::kDuring);
    const auto start = std::chrono::steady_clock::now();
    CollectReport report;
    const std::string answer = CollectAnswer(port, c.limits, stop.Token(), &report);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(answer.size(), c.answerBytes) << c.label;
    EXPECT_FALSE(report.promptSeen) << c.label;
    EXPECT_GE(took, c.atLeast) << c.label;
    EXPECT_LT(took, c.below) << c.label;
  }
}

TEST(DrainInput, TakesWhatIsHeldWithoutWaitingUpToItsBound) {
  const struct {
    std::vector<std::string> held;
    std::size_t maxBytes;
    std::size_t dropped;
  } cases[] = {
      {{}, 4096, 0},
      {{"stale", ">", "ELM327 v1.5\r\r>"}, 4096, 20},
      {{std::string(10000, 'A')}, 4096, 4096},  // a device that never falls silent
  };
  for (const auto& c : cases) {
    FakeSerialRecord record;
    record.replies.push_back(c.held);
    SerialPort port(FakeMaker(record, 0));
    ASSERT_EQ(port.Open(), 0);
    port.Write("x", {});
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(DrainInput(port, c.maxBytes), c.dropped);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
  }
}

TEST(ExchangeDeviceLoss, LostDeviceEndsTheExchangeAndClosesThePort) {
  FakeSerialRecord record;
  record.replies.push_back({"ATRV\r12."});
  SerialPort port(FakeMaker(record, 0));
  ASSERT_EQ(port.Open(), 0);
  record.lost = true;  // the read after these bytes saw the hang-up
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ExchangeCommand("ATRV", &port), "12.");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));  // not 10 s
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(record.closes, 1);
  EXPECT_EQ(ExchangeCommand("0100", &port), "ERROR");
  EXPECT_EQ(record.writes.size(), 1u);
}

}  // namespace
