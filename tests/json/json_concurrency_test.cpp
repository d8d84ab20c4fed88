#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "json/json_value.h"

using namespace morvanix;

namespace {

// Connection threads parse at the same time; their reports must stay whole lines, also while
// the stream is being switched.
TEST(JsonConcurrency, DiagnosticLinesStayWholeAcrossThreads) {
  constexpr int kThreads = 4;
  constexpr int kParsesPerThread = 300;
  const std::string expectedLine = "ERROR: Number: unexpected character 'x'\n";
  std::ostringstream first;
  std::ostringstream second;
  SetJsonErrorStream(&first);
  std::atomic<bool> parsing{true};
  std::thread switcher([&] {
    for (bool useFirst = false; parsing.load(); useFirst = !useFirst) {
      SetJsonErrorStream(useFirst ? &first : &second);
      std::this_thread::yield();
    }
  });
  std::vector<std::thread> parsers;
  std::atomic<int> wrongValues{0};
  for (int t = 0; t < kThreads; ++t) {
    parsers.emplace_back([&] {
      for (int i = 0; i < kParsesPerThread; ++i) {
        JsonValue value = JsonValue::parse("[1x,{\"a\":[2]}]");
        if (value.dump(0) != "[null, {\n  \"a\" : [2]\n}]") ++wrongValues;
      }
    });
  }
  for (std::thread& parser : parsers) parser.join();
  parsing = false;
  switcher.join();
  SetJsonErrorStream(nullptr);

  EXPECT_EQ(wrongValues.load(), 0);
  int lines = 0;
  for (const std::ostringstream* stream : {&first, &second}) {
    std::istringstream reader(stream->str());
    for (std::string text; std::getline(reader, text); ++lines) {
      ASSERT_EQ(text + "\n", expectedLine);
    }
  }
  EXPECT_EQ(lines, kThreads * kParsesPerThread);
}

}  // namespace
