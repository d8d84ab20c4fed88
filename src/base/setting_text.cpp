#include "base/setting_text.h"

namespace morvanix {

namespace {

// Enough of a rejected value to recognise it in the debug output, never a whole screen.
constexpr std::size_t kMaxQuotedLength = 40;

}  // namespace

std::optional<int> ParsePortNumber(std::string_view text) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value < 1 || value > 65535) return std::nullopt;
  return value;
}

std::string Quoted(std::string_view text) {
  std::string shown(text.substr(0, kMaxQuotedLength));
  for (char& c : shown) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  return "\"" + shown + (text.size() > kMaxQuotedLength ? "...\"" : "\"");
}

}  // namespace morvanix
