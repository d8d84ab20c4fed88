#include "json/json_escape.h"

#include "json/json_value.h"

namespace {

// The letter that follows the backslash for a byte that must be escaped, or 0 for a byte that
// is copied as is.
constexpr char escapeLetter(char byte) {
  switch (byte) {
    case '"':
      return '"';
    case '\\':
      return '\\';
    case '\b':
      return 'b';
    case '\f':
      return 'f';
    case '\n':
      return 'n';
    case '\r':
      return 'r';
    case '\t':
      return 't';
    default:
      return 0;
  }
}

}  // namespace

namespace morvanix {

void AppendEscapedJson(std::string& out, std::string_view text) {
  std::size_t copiedUpTo = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char letter = escapeLetter(text[i]);
    if (letter == 0) continue;
    out.append(text.substr(copiedUpTo, i - copiedUpTo));
    out.push_back('\\');
    out.push_back(letter);
    copiedUpTo = i + 1;
  }
  out.append(text.substr(copiedUpTo));
}

bool NeedsJsonEscape(std::string_view text) {
  for (char byte : text) {
    if (escapeLetter(byte) != 0) return true;
  }
  return false;
}

}  // namespace morvanix

std::string escapeJson(const std::string& text) {
  std::string escaped;
  escaped.reserve(text.size());
  morvanix::AppendEscapedJson(escaped, text);
  return escaped;
}
