#include "base/setting_text.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace morvanix {
namespace {

TEST(SettingText, PortNumberIsPlainDecimalInRange) {
  const struct {
    const char* text;
    std::optional<int> port;
  } rows[] = {
      {"80", 80},
      {"1", 1},
      {"65535", 65535},
      {"08080", 8080},
      {"0", std::nullopt},
      {"65536", std::nullopt},
      {"99999", std::nullopt},
      {"123456", std::nullopt},
      {"99999999999999999999", std::nullopt},
      {"", std::nullopt},
      {"-1", std::nullopt},
      {"+80", std::nullopt},
      {" 80", std::nullopt},
      {"80 ", std::nullopt},
      {"8o", std::nullopt},
      {"0x50", std::nullopt},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(ParsePortNumber(row.text), row.port) << '"' << row.text << '"';
  }
}

// A value quoted into a one-line report can neither break the line nor fill the screen.
TEST(SettingText, QuotedMasksControlBytesAndCutsLongValues) {
  const struct {
    std::string text;
    std::string quoted;
  } rows[] = {
      {"", "\"\""},
      {"80a", "\"80a\""},
      {"tcp://host:1\r\n\x1b\x7f", "\"tcp://host:1????\""},
      {std::string(40, '9'), "\"" + std::string(40, '9') + "\""},
      {std::string(500, '9'), "\"" + std::string(40, '9') + "...\""},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(Quoted(row.text), row.quoted) << row.text.size() << " bytes";
  }
}

}  // namespace
}  // namespace morvanix
