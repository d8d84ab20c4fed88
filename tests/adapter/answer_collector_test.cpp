#include "adapter/answer_collector.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ostream>
#include <string>
#include <vector>

#include "adapter/adapter_exchange.h"
#include "adapter/serial_port.h"
#include "fake_serial_backend.h"

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

TEST_P(CollectTest, EchoDroppedOnlyWhenItIsTheEchoAndNulsNeverKept) {
  const CollectCase& c = GetParam();
  FakeSerialRecord record;
  record.replies.push_back(c.chunks);
  SerialPort port(FakeMaker(record, 0));
  ASSERT_EQ(port.Open(), 0);
  port.Write("x");  // delivers the scripted reply
  CollectLimits limits{500, 64 * 1024};
  limits.echo = c.echo;
  limits.maxPasses = 5;  // the rows that end without a prompt need not wait 10 s
  EXPECT_EQ(CollectAnswer(port, limits), c.answer);
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
        // Over 100 bytes with gaps: read to the prompt, not cut at the first pause.
        CollectCase{
            "LongAnswerWithGapsReadToItsPrompt",
            "03",
            {"03\r" + kLongLine + kLongLine + kLongLine, kLongLine + kLongLine, kLongLine + "\r>"},
            "43 01 33 00 00 00 00 43 01 33 00 00 00 00 43 01 33 00 00 00 00 "
            "43 01 33 00 00 00 00 43 01 33 00 00 00 00 43 01 33 00 00 00 00 "}),
    [](const ::testing::TestParamInfo<CollectCase>& info) { return info.param.label; });

TEST(CollectLimits, MemoryBoundEndsAStreamWithoutSilence) {
  FakeSerialRecord record;
  record.replies.push_back({std::string(10000, 'A')});  // no gap, no prompt
  SerialPort port(FakeMaker(record, 0));
  ASSERT_EQ(port.Open(), 0);
  port.Write("x");
  CollectLimits limits{500, 3000};
  const std::string answer = CollectAnswer(port, limits);
  EXPECT_GE(answer.size(), 3000u);
  EXPECT_LE(answer.size(), 3000u + kMaxPassBytes);
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
