#include "base/event_log.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/log_line.h"
#include "temp_folder.h"

using namespace morvanix;

namespace {

std::time_t LocalTimeOf(int year, int month, int day, int hour, int minute, int second) {
  std::tm local{};
  local.tm_year = year - 1900;
  local.tm_mon = month - 1;
  local.tm_mday = day;
  local.tm_hour = hour;
  local.tm_min = minute;
  local.tm_sec = second;
  local.tm_isdst = -1;
  return std::mktime(&local);
}

TEST(EventLogLine, TimeTextHasTheFixedCtimeForm) {
  struct Case {
    std::time_t when;
    const char* expected;
  };
  const std::vector<Case> cases = {
      {LocalTimeOf(2026, 12, 7, 5, 13, 44), "Mon Dec  7 05:13:44 2026"},
      {LocalTimeOf(2026, 12, 17, 23, 5, 9), "Thu Dec 17 23:05:09 2026"},
      {LocalTimeOf(2000, 2, 29, 0, 0, 0), "Tue Feb 29 00:00:00 2000"},
      {LocalTimeOf(2031, 1, 1, 12, 0, 59), "Wed Jan  1 12:00:59 2031"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(FormatLogTime(c.when), c.expected);
  }
}

TEST(EventLogLine, IsTimeColonMessageSuffixLineFeed) {
  const std::time_t when = LocalTimeOf(2026, 12, 7, 5, 13, 44);
  struct Case {
    const char* message;
    const char* suffix;
    const char* expected;
  };
  const std::vector<Case> cases = {
      {"Got check request. Sending back SWIDENT", "",
       "Mon Dec  7 05:13:44 2026: Got check request. Sending back SWIDENT\n"},
      {"Stopping the http server: ", "", "Mon Dec  7 05:13:44 2026: Stopping the http server: \n"},
      {"\n\nLocal agent app", "", "Mon Dec  7 05:13:44 2026: \n\nLocal agent app\n"},
      {"message", " and suffix", "Mon Dec  7 05:13:44 2026: message and suffix\n"},
      {"", "", "Mon Dec  7 05:13:44 2026: \n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(FormatLogLine(when, c.message, c.suffix), c.expected);
  }
}

class EventLog : public ::testing::Test {
 protected:
  void SetUp() override { UseLogPath(LogFile()); }
  void TearDown() override { SetEventLogPath(""); }

  static void UseLogPath(const std::filesystem::path& path) {
    ASSERT_TRUE(SetEventLogPath(path.string()));
  }

  std::filesystem::path LogFile() const { return folder_.Path() / "vd_service.log"; }

  TempFolder folder_;
};

TEST_F(EventLog, AppendsOneStampedLinePerCall) {
  const std::time_t before = std::time(nullptr);
  WriteLog("Ready and listening.....", "");
  WriteLog("Got check request. Sending back SWIDENT", "");
  const std::time_t after = std::time(nullptr);

  const std::vector<std::string> lines = ReadLines(LogFile());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].substr(24), ": Ready and listening.....");
  EXPECT_EQ(lines[1].substr(24), ": Got check request. Sending back SWIDENT");
  for (const std::string& line : lines) {
    const std::string stamp = line.substr(0, 24);
    EXPECT_TRUE(stamp == FormatLogTime(before) || stamp == FormatLogTime(after)) << stamp;
  }
}

TEST_F(EventLog, FirstStartLineShowsTimeThenAnEmptyLineThenTheWords) {
  WriteLog("\n\nLocal agent app", "");
  const std::vector<std::string> lines = ReadLines(LogFile());
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].size(), 26u);
  EXPECT_EQ(lines[0].substr(24), ": ");
  EXPECT_EQ(lines[1], "");
  EXPECT_EQ(lines[2], "Local agent app");
}

TEST_F(EventLog, DeletedLogIsCreatedAgainByTheNextLine) {
  for (int i = 0; i < 5; ++i) WriteLog("before", "");
  ASSERT_TRUE(std::filesystem::remove(LogFile()));
  for (int i = 0; i < 5; ++i) WriteLog("after", "");

  const std::vector<std::string> lines = ReadLines(LogFile());
  ASSERT_EQ(lines.size(), 5u);
  for (const std::string& line : lines) EXPECT_EQ(line.substr(24), ": after");
}

TEST_F(EventLog, UnwritableLogCostsTheCallerNothingAndIsReportedOncePerSpell) {
#if defined(_WIN32)
  GTEST_SKIP() << "debug output goes to the debugger on Windows, not to standard error";
#else
  const std::filesystem::path folder = folder_.Path() / "later";
  UseLogPath(folder / "vd_service.log");

  testing::internal::CaptureStderr();
  for (int i = 0; i < 3; ++i) WriteLog("lost", "");
  std::filesystem::create_directory(folder);
  WriteLog("kept", "");
  std::filesystem::remove_all(folder);
  WriteLog("lost again", "");
  WriteLog("lost again", "");
  const std::string reported = testing::internal::GetCapturedStderr();

  const std::string notice = "morvanix: WriteLog: cannot write the event log file\n";
  EXPECT_EQ(reported, notice + notice);
#endif
}

TEST_F(EventLog, EmptyLogPathWritesNothing) {
  SetEventLogPath("");
  WriteLog("nowhere", "");
  EXPECT_TRUE(std::filesystem::is_empty(folder_.Path()));
}

// A full log is moved aside whole: the older file holds the lines written before the move, the
// new one those after it, none split or lost; a second move replaces the older file.
TEST_F(EventLog, FullLogIsMovedAsideAndANewOneStarted) {
  std::vector<std::string> written;
  for (int i = 0; i < 25; ++i) {
    std::string line = "line " + std::to_string(i) + " ";
    line.resize(99, 'x');
    written.push_back(line);
    ASSERT_TRUE(AppendLogLine(LogFile().string().c_str(), line + "\n", 1000));
  }
  const std::filesystem::path older = LogFile().string() + ".1";
  EXPECT_EQ(ReadLines(older), std::vector<std::string>(written.begin() + 10, written.begin() + 20));
  EXPECT_EQ(ReadLines(LogFile()), std::vector<std::string>(written.begin() + 20, written.end()));
}

class EventLogConcurrency : public EventLog {};

TEST_F(EventLogConcurrency, LinesOfManyThreadsStayWhole) {
  struct Case {
    int threads;
    int linesPerThread;
    std::size_t padding;  // long lines would be split by a buffer smaller than the line
  };
  for (const Case& c : {Case{8, 1000, 0}, Case{4, 40, 20000}}) {
    SCOPED_TRACE(c.padding);
    std::filesystem::remove(LogFile());
    const std::string pad(c.padding, 'p');
    std::vector<std::thread> writers;
    for (int t = 0; t < c.threads; ++t) {
      writers.emplace_back([t, &c, &pad] {
        for (int i = 0; i < c.linesPerThread; ++i) {
          const std::string message = "thread " + std::to_string(t) + " line " + std::to_string(i);
          WriteLog(message.c_str(), pad.c_str());
        }
      });
    }
    for (std::thread& writer : writers) writer.join();

    const std::vector<std::string> lines = ReadLines(LogFile());
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(c.threads * c.linesPerThread));
    // The regular expression sees only the head of a line: the library's matcher recurses
    // once per character and would exhaust the stack on the long ones.
    const std::regex head(R"([A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d \d{4}: )"
                          R"(thread (\d+) line (\d+))");
    std::set<std::string> seen;
    for (const std::string& line : lines) {
      const std::string start = line.substr(0, line.find('p', 26));
      std::smatch match;
      ASSERT_TRUE(std::regex_match(start, match, head)) << line.substr(0, 80);
      EXPECT_EQ(line.substr(26), "thread " + match[1].str() + " line " + match[2].str() + pad);
      EXPECT_TRUE(seen.insert(match[1].str() + "/" + match[2].str()).second);
    }
    EXPECT_EQ(seen.size(), lines.size());
  }
}

}  // namespace
