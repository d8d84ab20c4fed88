#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include "json/json_value.h"

using namespace morvanix;

namespace {

using namespace std::string_literals;

JsonValue listOuterExample() {
  JsonValue value;
  value.member("outer").member("k") = "v";
  value.member("list").element(0) = JsonValue::fromInteger(1);
  value.member("list").element(1).member("m") = JsonValue::fromBoolean(true);
  return value;
}

struct DumpCase {
  const char* name;
  JsonValue value;
  int depth;
  std::string indent;
  std::string expected;
};

// Names the case in failure reports instead of dumping its bytes.
void PrintTo(const DumpCase& c, std::ostream* out) {
  *out << c.name;
}

class JsonDumpLayout : public testing::TestWithParam<DumpCase> {};

TEST_P(JsonDumpLayout, WritesExactText) {
  const DumpCase& c = GetParam();
  EXPECT_EQ(c.value.dump(c.depth, c.indent), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Wire, JsonDumpLayout,
    testing::Values(
        DumpCase{"ThreeMembersAnyOrder", makeObject({"c", "z", "a", "x", "b", "y"}), 1, "  ",
                 "{\n  \"a\" : \"x\",\n  \"b\" : \"y\",\n  \"c\" : \"z\"\n}"},
        DumpCase{"NestedListAndOuter", listOuterExample(), 1, "  ",
                 "{\n  \"list\" : [1, {\n      \"m\" : true\n    }],\n"
                 "  \"outer\" : {\n    \"k\" : \"v\"\n  }\n}"},
        DumpCase{"EmptyObjectDepth1", makeObject({}), 1, "  ", "{\n\n}"},
        DumpCase{"EmptyObjectDepth2", makeObject({}), 2, "  ", "{\n\n  }"},
        DumpCase{"ObjectDepth0", makeObject({"a", "1"}), 0, "  ", "{\n\"a\" : \"1\"\n}"},
        DumpCase{"NegativeDepthHasNoPad", makeObject({"a", "1"}), -3, "  ", "{\n\"a\" : \"1\"\n}"},
        // The closing pad loses two characters whatever the unit is.
        DumpCase{"WideIndentClosingPad", makeObject({"a", "1"}), 1, "    ",
                 "{\n    \"a\" : \"1\"\n  }"},
        DumpCase{"TabIndentClosingPad", makeObject({"a", "1"}), 3, "\t",
                 "{\n\t\t\t\"a\" : \"1\"\n\t}"},
        DumpCase{"CapitalsSortFirst",
                 makeObject({"status", "PRESENT", "discovered", "A on COM3", "SSID", "ABC123"}), 1,
                 "  ",
                 "{\n  \"SSID\" : \"ABC123\",\n  \"discovered\" : \"A on COM3\",\n"
                 "  \"status\" : \"PRESENT\"\n}"},
        DumpCase{"PrefixKeySortsFirst", makeObject({"id2", "b", "id", "a"}), 1, "  ",
                 "{\n  \"id\" : \"a\",\n  \"id2\" : \"b\"\n}"},
        DumpCase{"HighBytesSortAfterAscii", makeObject({"\xc3\xa9", "1", "z", "2"}), 1, "  ",
                 "{\n  \"z\" : \"2\",\n  \"\xc3\xa9\" : \"1\"\n}"},
        DumpCase{"NullAndFalseMembers",
                 [] {
                   JsonValue v;
                   v.member("n");
                   v.member("f") = JsonValue::fromBoolean(false);
                   return v;
                 }(),
                 1, "  ", "{\n  \"f\" : false,\n  \"n\" : null\n}"},
        DumpCase{"ArrayOfStringsOnOneLine",
                 [] {
                   JsonValue v;
                   v.element(0) = "a";
                   v.element(1) = "b";
                   return v;
                 }(),
                 1, "  ", "[\"a\", \"b\"]"},
        DumpCase{"EmptyArray",
                 [] {
                   JsonValue v;
                   v.setKind(JsonKind::Array);
                   return v;
                 }(),
                 1, "  ", "[]"},
        DumpCase{"ArrayInArray",
                 [] {
                   JsonValue v;
                   v.element(1).element(0) = JsonValue::fromInteger(2);
                   return v;
                 }(),
                 1, "  ", "[null, [2]]"},
        DumpCase{"KeyViaMemberWrittenAsStored",
                 [] {
                   JsonValue v;
                   v.member("a\"b") = "x";
                   return v;
                 }(),
                 1, "  ", "{\n  \"a\"b\" : \"x\"\n}"},
        DumpCase{"KeyViaMakeObjectEscapedOnce", makeObject({"a\"b", "x"}), 1, "  ",
                 "{\n  \"a\\\"b\" : \"x\"\n}"},
        DumpCase{"ResponseMessage",
                 [] {
                   JsonValue v = makeObject({"SSID", "ABC123", "message_type", "RESPONSE"});
                   v.member("id") = JsonValue::fromInteger(17);
                   v.member("response") = "{\n  \"01\" : \"13.4V\"\n}";
                   return v;
                 }(),
                 1, "  ",
                 "{\n  \"SSID\" : \"ABC123\",\n  \"id\" : 17,\n  \"message_type\" : \"RESPONSE\",\n"
                 "  \"response\" : \"{\\n  \\\"01\\\" : \\\"13.4V\\\"\\n}\"\n}"}),
    [](const testing::TestParamInfo<DumpCase>& info) { return std::string(info.param.name); });

TEST(JsonDump, ThreeMemberObjectIs41Characters) {
  EXPECT_EQ(makeObject({"a", "x", "b", "y", "c", "z"}).dump().size(), 41u);
}

struct ScalarCase {
  JsonValue value;
  std::string expected;
};

TEST(JsonDump, ScalarForms) {
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<ScalarCase> cases = {
      {JsonValue(), "null"},
      {JsonValue::fromBoolean(true), "true"},
      {JsonValue::fromBoolean(false), "false"},
      {JsonValue::fromInteger(0), "0"},
      {JsonValue::fromInteger(-12), "-12"},
      {JsonValue::fromInteger(std::numeric_limits<std::int32_t>::min()), "-2147483648"},
      {JsonValue::fromInteger(std::numeric_limits<std::int32_t>::max()), "2147483647"},
      {JsonValue::fromFloat(13.4), "13.400000"},
      {JsonValue::fromFloat(-0.5), "-0.500000"},
      {JsonValue::fromFloat(100.0), "100.000000"},
      {JsonValue::fromFloat(0.0000001), "0.000000"},
      {JsonValue::fromFloat(1e20), "100000000000000000000.000000"},
      {JsonValue::fromFloat(inf), "null"},
      {JsonValue::fromFloat(-inf), "null"},
      {JsonValue::fromFloat(std::nan("")), "null"},
      {JsonValue(""), "\"\""},
  };
  for (const ScalarCase& c : cases) EXPECT_EQ(c.value.dump(), c.expected);
}

// Floats must come out exactly as the C library's "%f" writes them, rounding included.
TEST(JsonDump, FloatsMatchPrintfFixed) {
  std::vector<double> samples = {0.0,       -0.0,   0.5,       1.0000005,
                                 0.0000125, 2.5e-6, 1e-7,      123456.789,
                                 1e300,     -1e300, 4.9e-324,  1.7976931348623157e308,
                                 0.1,       2.675,  1e15 + 0.3};
  for (int i = -40; i <= 40; ++i) samples.push_back(std::ldexp(1.2345678901, i * 7));
  for (double sample : samples) {
    char expected[512];
    std::snprintf(expected, sizeof expected, "%f", sample);
    EXPECT_EQ(JsonValue::fromFloat(sample).dump(), expected) << sample;
  }
}

TEST(JsonEscape, SevenBytesAreEscapedAndTheRestKept) {
  struct Case {
    std::string raw;
    std::string escaped;
  };
  const std::vector<Case> cases = {
      {"\"", "\\\""},
      {"\\", "\\\\"},
      {"\b", "\\b"},
      {"\f", "\\f"},
      {"\n", "\\n"},
      {"\r", "\\r"},
      {"\t", "\\t"},
      {"/", "/"},
      {"\x01", "\x01"},
      {"\x7f", "\x7f"},
      {"\x0b", "\x0b"},
      {"\xc3\xa9\xff", "\xc3\xa9\xff"},
      {"a\0b"s, "a\0b"s},
      {"", ""},
      {"x\ny\"z", "x\\ny\\\"z"},
      {"\\u0041", "\\\\u0041"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(escapeJson(c.raw), c.escaped);
    EXPECT_EQ(JsonValue(c.raw).dump(), "\"" + c.escaped + "\"");
  }
}

// A document built in code is not bound by the parser's nesting limit.
TEST(JsonDump, VeryDeepValuesAreWrittenWithoutRecursion) {
  constexpr int kDepth = 100000;
  JsonValue root;
  JsonValue* cursor = &root;
  for (int i = 0; i < kDepth; ++i) cursor = &cursor->element(0);
  std::string text = root.dump();
  EXPECT_EQ(text, std::string(kDepth, '[') + "null" + std::string(kDepth, ']'));
}

}  // namespace
