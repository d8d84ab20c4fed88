#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include "json/json_value.h"
#include "json_error_capture.h"

using namespace morvanix;

namespace {

using namespace std::string_literals;

const std::string kBadStart = "ERROR: Parse: Unknown starting character '";
const std::string kColon = "Error: Object: Expected colon, found '";
const std::string kComma = "ERROR: Object: Expected comma, found '";
const std::string kArray = "ERROR: Array: Expected ',' or ']', found '";
const std::string kHex = "ERROR: String: Expected hex character in unicode escape, found '";
const std::string kUnclosed = "ERROR: String: Expected closing quote, found '";
const std::string kNull = "ERROR: Null: Expected 'null', found '";
const std::string kBool = "ERROR: Bool: Expected 'true' or 'false', found '";
const std::string kNumberChar = "ERROR: Number: unexpected character '";
const std::string kExponent = "ERROR: Number: Expected a number for exponent, found '";
const std::string kInvalid = "ERROR: Number: Cannot convert '";
const std::string kTooDeep = "ERROR: Parse: Nesting deeper than 512 levels at '";

std::string line(const std::string& fixedText, const std::string& offending) {
  return fixedText + offending + "'\n";
}

struct ParseCase {
  const char* name;
  std::string text;
  JsonKind kind;
  std::string dump;  // of the value at depth 1
  std::string diagnostics;
  std::size_t endPosition;
};

// Names the case in failure reports instead of dumping its bytes.
void PrintTo(const ParseCase& c, std::ostream* out) {
  *out << c.name;
}

class JsonParse : public testing::TestWithParam<ParseCase> {};

TEST_P(JsonParse, ValueDiagnosticsAndPosition) {
  const ParseCase& c = GetParam();
  JsonErrorCapture capture;
  std::size_t position = 0;
  JsonValue value = detail::parseValue(c.text, position);
  EXPECT_EQ(value.kind(), c.kind);
  EXPECT_EQ(value.dump(), c.dump);
  EXPECT_EQ(capture.text(), c.diagnostics);
  EXPECT_EQ(position, c.endPosition);
}

std::string nested(const std::string& open, int levels, const std::string& close) {
  std::string text;
  for (int i = 0; i < levels; ++i) text += open;
  text += "0";
  for (int i = 0; i < levels; ++i) text += close;
  return text;
}

INSTANTIATE_TEST_SUITE_P(
    Structure, JsonParse,
    testing::Values(
        ParseCase{"EmptyText", "", JsonKind::Null, "null", line(kBadStart, "\0"s), 0},
        ParseCase{"BlankObject", " {} ", JsonKind::Object, "{\n\n}", "", 3},
        ParseCase{"BlankArray", "[ ]", JsonKind::Array, "[]", "", 3},
        ParseCase{"TrailingCommaInArray", "[1,]", JsonKind::Array, "[1, null]",
                  line(kBadStart, "]"), 4},
        ParseCase{"TrailingCommaInObject", "{\"a\":1,}", JsonKind::Object, "{\n  \"a\" : 1\n}",
                  line(kBadStart, "}") + line(kColon, "}"), 7},
        ParseCase{"MissingCommaInObject", "{\"a\":1 \"b\":2}", JsonKind::Object,
                  "{\n  \"a\" : 1\n}", line(kComma, "\""), 7},
        ParseCase{"NumberKey", "{1:2}", JsonKind::Object, "{\n\n}",
                  line(kNumberChar, ":") + line(kColon, "2"), 3},
        ParseCase{"DuplicateKeyKeepsLast", "{\"k\":\"v\",\"k\":\"w\"}", JsonKind::Object,
                  "{\n  \"k\" : \"w\"\n}", "", 17},
        ParseCase{"NonStringKeyIsEmpty", "{null:1}", JsonKind::Object, "{\n  \"\" : 1\n}", "", 8},
        ParseCase{"BadElementBecomesNull", "[1x,2]", JsonKind::Array, "[null, 2]",
                  line(kNumberChar, "x"), 6},
        ParseCase{"BadArraySeparatorEmptiesArray", "[1;2]", JsonKind::Array, "[]",
                  line(kNumberChar, ";") + line(kArray, "2"), 3},
        ParseCase{"ArrayStopsAtStrayByte", "[\"a\" 2]", JsonKind::Array, "[]", line(kArray, "2"),
                  5},
        ParseCase{"UnclosedArray", "[1, 2", JsonKind::Array, "[]",
                  line(kNumberChar, "\0"s) + line(kArray, "\0"s), 5},
        ParseCase{"UnclosedObject", "{\"a\":1", JsonKind::Object, "{\n  \"a\" : null\n}",
                  line(kNumberChar, "\0"s) + line(kComma, "\0"s), 6},
        ParseCase{"TrailingBytesIgnored", "{} xyz", JsonKind::Object, "{\n\n}", "", 2},
        ParseCase{"BadStart", "  @", JsonKind::Null, "null", line(kBadStart, "@"), 2},
        ParseCase{"NestedRequest", "{\"id\": 17, \"command\": \"{\\\"01\\\":\\\"ATRV\\\"}\"}",
                  JsonKind::Object,
                  "{\n  \"command\" : \"{\\\"01\\\":\\\"ATRV\\\"}\",\n  \"id\" : 17\n}", "", 42},
        ParseCase{"DeepButAllowed", nested("[", 512, "]"), JsonKind::Array, nested("[", 512, "]"),
                  "", 1025},
        // The 513th level is skipped whole; the levels around it close normally.
        ParseCase{"OneLevelTooDeep", nested("[", 513, "]"), JsonKind::Array,
                  std::string(512, '[') + "null" + std::string(512, ']'), line(kTooDeep, "["),
                  1027},
        ParseCase{"TooDeepSkipsStringsWithBrackets",
                  std::string(512, '[') + "[\"]\\\"\"]" + std::string(512, ']'), JsonKind::Array,
                  std::string(512, '[') + "null" + std::string(512, ']'), line(kTooDeep, "["),
                  1031}),
    [](const testing::TestParamInfo<ParseCase>& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Scalars, JsonParse,
    testing::Values(
        ParseCase{"Null", "null", JsonKind::Null, "null", "", 4},
        ParseCase{"NullFollowedByLetter", "nullx", JsonKind::Null, "null", "", 4},
        ParseCase{"ShortNull", "nul", JsonKind::Null, "null", line(kNull, "nul"), 0},
        ParseCase{"True", "true", JsonKind::Boolean, "true", "", 4},
        ParseCase{"False", "false ", JsonKind::Boolean, "false", "", 5},
        ParseCase{"Tree", "tree ", JsonKind::Null, "null", line(kBool, "tree "), 0},
        ParseCase{"ShortFalse", "fa", JsonKind::Null, "null", line(kBool, "fa"), 0},
        ParseCase{"NegativeInteger", "-12 ", JsonKind::Integer, "-12", "", 3},
        ParseCase{"FloatWithExponent", "1.5e2,", JsonKind::Float, "150.000000", "", 5},
        ParseCase{"IntegerWithExponentIsFloat", "15e1 ", JsonKind::Float, "150.000000", "", 4},
        ParseCase{"CapitalExponent", "3E2}", JsonKind::Float, "300.000000", "", 3},
        ParseCase{"NegativeExponent", "2e-1 ", JsonKind::Float, "0.200000", "", 4},
        ParseCase{"BareNumber", "7", JsonKind::Null, "null", line(kNumberChar, "\0"s), 1},
        ParseCase{"NumberBeforeColon", "7:", JsonKind::Null, "null", line(kNumberChar, ":"), 2},
        ParseCase{"SmallestInteger", "-2147483648 ", JsonKind::Integer, "-2147483648", "", 11},
        ParseCase{"BeyondInt32IsFloat", "2147483648 ", JsonKind::Float, "2147483648.000000", "",
                  10},
        ParseCase{"BelowInt32IsFloat", "-2147483649 ", JsonKind::Float, "-2147483649.000000", "",
                  11},
        ParseCase{"HugeIntegerIsFloat", "123456789012345678901234567890 ", JsonKind::Float,
                  "123456789012345677877719597056.000000", "", 30},
        ParseCase{"HugeIntegerWithExponent", "10000000000e2 ", JsonKind::Float,
                  "1000000000000.000000", "", 13},
        ParseCase{"MinusInsideMantissa", "1-2 ", JsonKind::Integer, "1", "", 3},
        ParseCase{"SecondPoint", "1.2.3 ", JsonKind::Float, "1.200000", "", 5},
        ParseCase{"LeadingZeros", "007 ", JsonKind::Integer, "7", "", 3},
        ParseCase{"NegativeFraction", "-.5 ", JsonKind::Float, "-0.500000", "", 3},
        ParseCase{"TrailingPoint", "3. ", JsonKind::Float, "3.000000", "", 2},
        ParseCase{"LoneMinus", "- ", JsonKind::Null, "null", line(kInvalid, "-"), 1},
        ParseCase{"DoubleMinus", "--1 ", JsonKind::Null, "null", line(kInvalid, "--1"), 3},
        ParseCase{"MinusPoint", "-.]", JsonKind::Null, "null", line(kInvalid, "-."), 2},
        ParseCase{"EmptyExponent", "1e ", JsonKind::Null, "null", line(kInvalid, "1e"), 2},
        ParseCase{"MinusOnlyExponent", "1e-,", JsonKind::Null, "null", line(kInvalid, "1e-"), 3},
        ParseCase{"RejectedInArray", "[1e,2]", JsonKind::Array, "[null, 2]", line(kInvalid, "1e"),
                  6},
        ParseCase{"PlusExponent", "1e+5 ", JsonKind::Null, "null", line(kExponent, "+"), 3},
        ParseCase{"SecondMinusInExponent", "1e--5 ", JsonKind::Null, "null", line(kExponent, "-"),
                  4},
        ParseCase{"PointInExponent", "1e5.0 ", JsonKind::Null, "null", line(kExponent, "."), 4},
        ParseCase{"ExponentAtEnd", "1e5", JsonKind::Null, "null", line(kExponent, "\0"s), 3},
        ParseCase{"ExponentOverflowsToInfinity", "1e400 ", JsonKind::Float, "null", "", 5},
        ParseCase{"ExponentBeyond32Bits", "1.5e99999999999 ", JsonKind::Float, "null", "", 15},
        ParseCase{"ExponentUnderflowsToZero", "1e-400 ", JsonKind::Float, "0.000000", "", 6},
        ParseCase{"MantissaOverflows", std::string(400, '9') + ".5 ", JsonKind::Float, "null", "",
                  402},
        ParseCase{"MantissaUnderflows", "0." + std::string(400, '0') + "1 ", JsonKind::Float,
                  "0.000000", "", 403}),
    [](const testing::TestParamInfo<ParseCase>& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Strings, JsonParse,
    testing::Values(
        ParseCase{"Plain", "\"abc\"", JsonKind::String, "\"abc\"", "", 5},
        ParseCase{"SimpleEscapes", "\"\\\"\\/\\b\\f\\n\\r\\t\"", JsonKind::String,
                  "\"\\\"/\\b\\f\\n\\r\\t\"", "", 16},
        ParseCase{"UnicodeEscapeKeptAsWritten", "\"\\u0041\"", JsonKind::String, "\"\\\\u0041\"",
                  "", 8},
        ParseCase{"UnicodeEscapeBadDigit", "\"ab\\uG041\"", JsonKind::String, "\"\"",
                  line(kHex, "G"), 4},
        ParseCase{"UnicodeEscapeBadLastDigit", "\"\\u004z\"", JsonKind::String, "\"\"",
                  line(kHex, "z"), 2},
        ParseCase{"UnicodeEscapeCutShort", "\"\\u00", JsonKind::String, "\"\"", line(kHex, "\0"s),
                  2},
        ParseCase{"UnknownEscapeIsBackslash", "\"\\x\"", JsonKind::String, "\"\\\\\"", "", 4},
        ParseCase{"DoubleBackslash", "\"\\\\\"", JsonKind::String, "\"\\\\\"", "", 4},
        ParseCase{"ControlAndHighBytesKept", "\"\x01\xc3\xa9\x7f\"", JsonKind::String,
                  "\"\x01\xc3\xa9\x7f\"", "", 6},
        ParseCase{"RawLineFeedKept", "\"a\nb\"", JsonKind::String, "\"a\\nb\"", "", 5},
        ParseCase{"EmbeddedNul", "\"a\0b\""s, JsonKind::String, "\"a\0b\""s, "", 5},
        ParseCase{"Unclosed", "\"abc", JsonKind::String, "\"abc\"", line(kUnclosed, "\0"s), 4},
        ParseCase{"UnclosedAfterBackslash", "\"ab\\", JsonKind::String, "\"ab\\\\\"",
                  line(kUnclosed, "\0"s), 4},
        ParseCase{"UnclosedInArray", "[\"a", JsonKind::Array, "[]",
                  line(kUnclosed, "\0"s) + line(kArray, "\0"s), 3}),
    [](const testing::TestParamInfo<ParseCase>& info) { return std::string(info.param.name); });

TEST(JsonParseKeys, KeysAreStoredEscaped) {
  struct Case {
    std::string text;
    std::string storedKey;
  };
  const std::vector<Case> cases = {
      {"{\"a\\\"b\":1}", "a\\\"b"},  // parsed to a quote, then escaped again
      {"{\"a\\nb\":1}", "a\\nb"},    // stored as backslash n, not a line feed
      {"{\"a\\tb\":1}", "a\\tb"},         {"{\"a\\/b\":1}", "a/b"},
      {"{\"a\\u0041\":1}", "a\\\\u0041"}, {"{\"SSID\":1}", "SSID"},
  };
  for (const Case& c : cases) {
    JsonValue value = JsonValue::parse(c.text);
    ASSERT_EQ(value.members().size(), 1u) << c.text;
    EXPECT_EQ(value.members().begin()->first, c.storedKey) << c.text;
  }
}

TEST(JsonParseNumbers, ExactValues) {
  EXPECT_DOUBLE_EQ(JsonValue::parse("2e-1 ").floatValue(), 0.2);
  EXPECT_EQ(JsonValue::parse("15e1 ").floatValue(), 150.0);
  EXPECT_EQ(JsonValue::parse("-12 ").integerValue(), -12);
  EXPECT_EQ(JsonValue::parse("2147483647 ").integerValue(), 2147483647);
  EXPECT_EQ(JsonValue::parse("1e400 ").floatValue(), std::numeric_limits<double>::infinity());
  EXPECT_EQ(JsonValue::parse("-1e400 ").floatValue(), -std::numeric_limits<double>::infinity());
  EXPECT_TRUE(std::isnan(JsonValue::parse("0e400 ").floatValue()));  // 0 times infinity
}

TEST(JsonParse, ParseValueContinuesFromThePosition) {
  const std::string text = "1 \"two\" [3] ";
  std::size_t position = 0;
  EXPECT_EQ(detail::parseValue(text, position).integerValue(), 1);
  EXPECT_EQ(detail::parseValue(text, position).stringValue(), "two");
  EXPECT_EQ(detail::parseValue(text, position).dump(), "[3]");
  EXPECT_EQ(position, 11u);
}

TEST(JsonParse, ReportsGoToStandardErrorByDefault) {
  testing::internal::CaptureStderr();
  JsonValue::parse("@");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), line(kBadStart, "@"));
}

// A text full of faults must not flood the error stream: 100 lines, then one that counts the rest.
TEST(JsonParse, DiagnosticsAreCappedPerParse) {
  const std::string bad = line(kInvalid, "-");
  for (const int faults : {100, 101, 1000000}) {
    std::string text = "[";
    for (int i = 0; i < faults; ++i) text += "-,";
    text += "0]";
    JsonErrorCapture capture;
    const JsonValue value = JsonValue::parse(text);
    JsonValue::parse("[-]");  // the next parse has its own allowance
    std::string expected;
    for (int i = 0; i < std::min(faults, 100); ++i) expected += bad;
    if (faults > 100) {
      expected += "ERROR: Parse: " + std::to_string(faults - 100) +
                  " more faults in this text not reported\n";
    }
    EXPECT_EQ(capture.text(), expected + bad) << faults;
    EXPECT_EQ(value.elements().size(), static_cast<std::size_t>(faults) + 1) << faults;
  }
}

// Hostile nesting must give a bounded report, return promptly and not exhaust the stack.
TEST(JsonParseDepth, HugeUnclosedNestingIsBounded) {
  const std::vector<std::string> openings = {"[", "[{\"\":", "{\"a\":["};
  for (const std::string& opening : openings) {
    std::string text;
    for (int i = 0; i < 100000; ++i) text += opening;
    JsonErrorCapture capture;
    JsonValue value = JsonValue::parse(text);
    std::string report = capture.text();
    EXPECT_EQ(report.rfind(line(kTooDeep, opening.substr(0, 1)), 0), 0u) << opening;
    EXPECT_LE(std::count(report.begin(), report.end(), '\n'), 520) << opening;
    EXPECT_EQ(value.kind(), opening[0] == '[' ? JsonKind::Array : JsonKind::Object);
  }
}

TEST(JsonParseDepth, HugeClosedNestingGivesOneLine) {
  std::string text = nested("[{\"k\":", 100000, "}]");
  JsonErrorCapture capture;
  JsonValue value = JsonValue::parse(text);
  EXPECT_EQ(capture.text(), line(kTooDeep, "["));
  int levels = 0;
  for (const JsonValue* walk = &value; walk->kind() != JsonKind::Null; ++levels) {
    walk = walk->kind() == JsonKind::Array ? &walk->elements().front()
                                           : &walk->members().begin()->second;
  }
  EXPECT_EQ(levels, 512);
}

}  // namespace
