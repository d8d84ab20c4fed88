#include "json/json_value.h"

namespace {

// The two-character form of a byte that must be escaped, or 0 when the byte is copied as is.
char escapeLetter(char byte) {
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

std::string escapeJson(const std::string& text) {
  std::string escaped;
  escaped.reserve(text.size() + 8);
  std::size_t copiedUpTo = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char letter = escapeLetter(text[i]);
    if (letter == 0) continue;
    escaped.append(text, copiedUpTo, i - copiedUpTo);
    escaped.push_back('\\');
    escaped.push_back(letter);
    copiedUpTo = i + 1;
  }
  escaped.append(text, copiedUpTo, std::string::npos);
  return escaped;
}
