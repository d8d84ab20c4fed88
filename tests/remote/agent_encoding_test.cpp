#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>

#include "remote/agent_transport.h"

using namespace morvanix;

namespace {

struct EncodingCase {
  const char* name;
  std::string text;
  std::string encoded;
};

void PrintTo(const EncodingCase& c, std::ostream* os) {
  *os << c.name;
}

class AgentEncoding : public ::testing::TestWithParam<EncodingCase> {};

TEST_P(AgentEncoding, EncodesEachByteAsSignedDecimal) {
  EXPECT_EQ(EncodeDecimalBytes(GetParam().text), GetParam().encoded);
}

INSTANTIATE_TEST_SUITE_P(AgentVectors, AgentEncoding,
                         ::testing::Values(EncodingCase{"Empty", "", ""},
                                           EncodingCase{"Abc", "abc", "97n98n99n"},
                                           EncodingCase{"BraceLineFeed", "{\n", "123n10n"},
                                           EncodingCase{"Space", " ", "32n"},
                                           EncodingCase{"Nul", std::string(1, '\0'), "0n"},
                                           EncodingCase{"Del", "\x7F", "127n"},
                                           EncodingCase{"High", "\x80", "-128n"},
                                           EncodingCase{"AllBits", "\xFF", "-1n"},
                                           EncodingCase{"LeadByte", "\xC3", "-61n"},
                                           EncodingCase{"Utf8", "\xC3\xA4", "-61n-92n"},
                                           EncodingCase{"Mixed",
                                                        "a\x01\xFE"
                                                        "0",
                                                        "97n1n-2n48n"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(AgentEncodingForm, NeedsNoFormEscaping) {
  std::string every;
  for (int byte = 0; byte < 256; ++byte) every.push_back(static_cast<char>(byte));
  const std::string encoded = EncodeDecimalBytes(every);
  EXPECT_EQ(encoded.find_first_not_of("0123456789-n"), std::string::npos);
  // One "n" per byte: nothing dropped, nothing wrapped.
  EXPECT_EQ(std::count(encoded.begin(), encoded.end(), 'n'), 256);
}

}  // namespace
