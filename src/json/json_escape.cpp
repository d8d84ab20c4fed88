#include "json/json_escape.h"

#include "json/json_value.h"

namespace {

// For each byte, the letter written after a backslash in its escaped form, or 0 when the byte is
// copied as is. A table keeps the scan over long texts to one load per byte.
struct EscapeTable {
  char letter[256] = {};
  constexpr EscapeTable() {
    letter[static_cast<unsigned char>('"')] = '"';
    letter[static_cast<unsigned char>('\\')] = '\\';
    letter[static_cast<unsigned char>('\b')] = 'b';
    letter[static_cast<unsigned char>('\f')] = 'f';
    letter[static_cast<unsigned char>('\n')] = 'n';
    letter[static_cast<unsigned char>('\r')] = 'r';
    letter[static_cast<unsigned char>('\t')] = 't';
  }
};

constexpr EscapeTable kEscapes;

char escapeLetter(char byte) {
  return kEscapes.letter[static_cast<unsigned char>(byte)];
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

std::string escapeJson(const std::string& text) {
  std::string escaped;
  escaped.reserve(text.size());
  AppendEscapedJson(escaped, text);
  return escaped;
}

}  // namespace morvanix
