#include "remote/request_executor.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "adapter/serial_port.h"
#include "json/json_value.h"

using namespace morvanix;

namespace {

// Answers every command with "<command>-ok" and remembers the order it was asked in.
struct RecordingAdapter {
  std::vector<std::string> commands;
  detail::CommandExchange exchange() {
    return [this](const std::string& command) {
      commands.push_back(command);
      return command + "-ok";
    };
  }
};

class ExecutorTest : public ::testing::Test {
 protected:
  void SetUp() override { SetJsonErrorStream(&diagnostics_); }
  void TearDown() override { SetJsonErrorStream(nullptr); }
  std::ostringstream diagnostics_;
};

TEST_F(ExecutorTest, ExampleRequestGivesTheDocumentedResultText) {
  detail::CommandExchange adapter = [](const std::string& command) {
    return command == "ATRV" ? std::string("13.4V") : std::string("41 00 BF 9F F9 80");
  };
  const std::string result = detail::ExecuteRequestWith(
      R"({"id": 17, "command": "{\"01\":\"ATRV\",\"02\":\"0100\"}"})", adapter);
  EXPECT_EQ(
      result,
      "{\n"
      "  \"id\" : 17,\n"
      "  \"result\" : \"{\\n  \\\"01\\\" : \\\"13.4V\\\",\\n  \\\"02\\\" : \\\"41 00 BF 9F F9 "
      "80\\\"\\n}\"\n"
      "}");
}

struct ExecutorCase {
  const char* name;
  std::string request;
  std::vector<std::string> sent;  // commands the adapter receives, in order
  std::string id;                 // dump() of the result's "id"
  std::string result;             // the result's "result" string
};

void PrintTo(const ExecutorCase& c, std::ostream* out) {
  *out << c.name;
}

class ExecutorCases : public ExecutorTest, public ::testing::WithParamInterface<ExecutorCase> {};

TEST_P(ExecutorCases, SendsCommandsAndBuildsResult) {
  const ExecutorCase& c = GetParam();
  RecordingAdapter adapter;
  JsonValue result = JsonValue::parse(detail::ExecuteRequestWith(c.request, adapter.exchange()));
  EXPECT_EQ(adapter.commands, c.sent);
  EXPECT_EQ(result.member("id").dump(), c.id);
  EXPECT_EQ(result.member("result").kind(), JsonKind::String);
  EXPECT_EQ(result.member("result").stringValue(), c.result);
}

INSTANTIATE_TEST_SUITE_P(
    Executor, ExecutorCases,
    ::testing::Values(
        ExecutorCase{"KeysRunInByteOrder",
                     R"({"id":1,"command":"{\"2\":\"B\",\"10\":\"C\",\"1\":\"A\"}"})",
                     {"A", "C", "B"},
                     "1",
                     "{\n  \"1\" : \"A-ok\",\n  \"10\" : \"C-ok\",\n  \"2\" : \"B-ok\"\n}"},
        ExecutorCase{"CapitalBeforeSmall",
                     R"({"id":"x","command":"{\"a\":\"2\",\"B\":\"1\"}"})",
                     {"1", "2"},
                     "\"x\"",
                     "{\n  \"B\" : \"1-ok\",\n  \"a\" : \"2-ok\"\n}"},
        ExecutorCase{"FunctionOnlyNeedsNoAdapter",
                     R"({"id":2,"command":"{\"function\":\"battery\"}"})",
                     {},
                     "2",
                     "{\n  \"function\" : \"battery\"\n}"},
        ExecutorCase{"EmptyCommandObjectGivesNull", R"({"id":3,"command":"{}"})", {}, "3", "null"},
        ExecutorCase{"MissingCommandGivesNull", R"({"id":4})", {}, "4", "null"},
        ExecutorCase{"MissingIdGivesNullId",
                     R"({"command":"{\"1\":\"ATZ\"}"})",
                     {"ATZ"},
                     "null",
                     "{\n  \"1\" : \"ATZ-ok\"\n}"},
        ExecutorCase{
            "CommandNotAStringRunsNothing", R"({"id":5,"command":{"1":"ATZ"}})", {}, "5", "null"},
        ExecutorCase{"EmptyRequestText", "", {}, "null", "null"},
        ExecutorCase{"NonStringCommandSentEmpty",
                     R"({"id":6,"command":"{\"1\":7 }"})",
                     {""},
                     "6",
                     "{\n  \"1\" : \"-ok\"\n}"},
        ExecutorCase{"DuplicateKeyRunsOnceWithLastValue",
                     R"({"id":7,"command":"{\"k\":\"first\",\"k\":\"last\"}"})",
                     {"last"},
                     "7",
                     "{\n  \"k\" : \"last-ok\"\n}"},
        // The escaped line break becomes the letter n once backslashes are dropped, so the
        // parse stops there and only the members before it run.
        ExecutorCase{"LineBreakStopsTheParse",
                     R"({"id":8,"command":"{\"1\":\"A\",\n\"2\":\"B\"}"})",
                     {"A"},
                     "8",
                     "{\n  \"1\" : \"A-ok\"\n}"},
        ExecutorCase{"SpacesBetweenTokensAreHarmless",
                     R"({"id":9,"command":"{ \"1\" : \"A\" , \"2\" : \"B\" }"})",
                     {"A", "B"},
                     "9",
                     "{\n  \"1\" : \"A-ok\",\n  \"2\" : \"B-ok\"\n}"},
        ExecutorCase{"FractionalIdComesBackWithSixDecimals",
                     R"({"id":1.5,"command":"{}"})",
                     {},
                     "1.500000",
                     "null"}),
    [](const ::testing::TestParamInfo<ExecutorCase>& info) { return info.param.name; });

TEST_F(ExecutorTest, ClosedPortAnswersErrorForEveryCommandButFunction) {
  SerialPort closed;
  JsonValue result = JsonValue::parse(ExecuteRequest(
      R"({"id":1,"command":"{\"1\":\"ATRV\",\"2\":\"0100\",\"function\":\"f\"}"})", &closed));
  EXPECT_EQ(result.member("result").stringValue(),
            "{\n  \"1\" : \"ERROR\",\n  \"2\" : \"ERROR\",\n  \"function\" : \"f\"\n}");
}

TEST_F(ExecutorTest, AStopEndsTheRequestBetweenTwoCommands) {
  struct Case {
    std::size_t stopAfter;  // commands run when the stop comes
    std::vector<std::string> sent;
    std::string result;
  };
  const std::string request =
      R"({"id":1,"command":"{\"1\":\"A\",\"2\":\"B\",\"3\":\"C\",\"function\":\"f\"}"})";
  const std::vector<Case> cases = {
      // A stop before the start writes nothing to the adapter.
      {0, {}, "{\n  \"function\" : \"f\"\n}"},
      {1, {"A"}, "{\n  \"1\" : \"A-ok\",\n  \"function\" : \"f\"\n}"},
      {2, {"A", "B"}, "{\n  \"1\" : \"A-ok\",\n  \"2\" : \"B-ok\",\n  \"function\" : \"f\"\n}"},
      {3,
       {"A", "B", "C"},
       "{\n  \"1\" : \"A-ok\",\n  \"2\" : \"B-ok\",\n  \"3\" : \"C-ok\",\n  "
       "\"function\" : \"f\"\n}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stopAfter);
    RecordingAdapter adapter;
    StopSource stop;
    if (c.stopAfter == 0) stop.RequestStop();
    const detail::CommandExchange exchange = [&](const std::string& command) {
      std::string answer = adapter.exchange()(command);
      if (adapter.commands.size() >= c.stopAfter) stop.RequestStop();
      return answer;
    };
    JsonValue result =
        JsonValue::parse(detail::ExecuteRequestWith(request, exchange, stop.Token()));
    EXPECT_EQ(adapter.commands, c.sent);
    EXPECT_EQ(result.member("result").stringValue(), c.result);
  }
}

TEST(ReplaceAll, ReplacesEveryOccurrenceWithoutRescanningInsertedText) {
  struct Case {
    std::string text, from, to, expected;
  };
  const Case cases[] = {
      {R"(a\"b\\c)", "\\", "", R"(a"bc)"},
      {"aaa", "a", "aa", "aaaaaa"},  // inserted text is never searched again
      {"abcabc", "bc", "", "aa"},
      {"text", "", "x", "text"},  // empty from-text: nothing to do, and it must end
      {"", "a", "b", ""},
  };
  for (const Case& c : cases) {
    std::string text = c.text;
    detail::ReplaceAll(text, c.from, c.to);
    EXPECT_EQ(text, c.expected) << "text=" << c.text << " from=" << c.from;
  }
}

}  // namespace
