#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <string_view>

#include "json/json_error_stream.h"
#include "json/json_escape.h"
#include "json/json_value.h"
#include "json/json_value_access.h"

namespace morvanix {

namespace {

// Arrays and objects together; deeper input is skipped so that hostile text cannot exhaust the
// stack of the connection thread that parses it.
constexpr std::size_t kMaxDepth = 512;

constexpr std::string_view kBadStart = "ERROR: Parse: Unknown starting character '";
constexpr std::string_view kTooDeep = "ERROR: Parse: Nesting deeper than 512 levels at '";
constexpr std::string_view kExpectedColon = "Error: Object: Expected colon, found '";
constexpr std::string_view kExpectedComma = "ERROR: Object: Expected comma, found '";
constexpr std::string_view kExpectedCommaOrBracket = "ERROR: Array: Expected ',' or ']', found '";
constexpr std::string_view kExpectedHex =
    "ERROR: String: Expected hex character in unicode escape, found '";
constexpr std::string_view kUnclosedString = "ERROR: String: Expected closing quote, found '";
constexpr std::string_view kExpectedNull = "ERROR: Null: Expected 'null', found '";
constexpr std::string_view kExpectedBoolean = "ERROR: Bool: Expected 'true' or 'false', found '";
constexpr std::string_view kNumberCharacter = "ERROR: Number: unexpected character '";
constexpr std::string_view kNumberExponent =
    "ERROR: Number: Expected a number for exponent, found '";
constexpr std::string_view kNumberInvalid = "ERROR: Number: Cannot convert '";

// A text of a million faults would otherwise write many times its own size to the error
// stream (the service's journal), again on every repetition of a series.
constexpr std::size_t kMaxDiagnostics = 100;

// Whitespace as the "C" locale classifies it.
bool isSpace(char byte) {
  return byte == ' ' || byte == '\t' || byte == '\n' || byte == '\v' || byte == '\f' ||
         byte == '\r';
}

bool isDigit(char byte) {
  return byte >= '0' && byte <= '9';
}

bool isHexDigit(char byte) {
  return isDigit(byte) || (byte >= 'a' && byte <= 'f') || (byte >= 'A' && byte <= 'F');
}

bool endsNumber(char byte) {
  return isSpace(byte) || byte == ',' || byte == ']' || byte == '}';
}

// The leading run of an optional minus sign and digits: what a base-10 integer conversion reads.
std::string_view integerPrefix(std::string_view text) {
  std::size_t end = (!text.empty() && text[0] == '-') ? 1 : 0;
  while (end < text.size() && isDigit(text[end])) ++end;
  return text.substr(0, end);
}

// Reads the longest decimal prefix of text (digits, one optional point, optional leading minus)
// as a double. Out-of-range magnitudes become infinity or zero, as the arithmetic would give.
bool readDouble(std::string_view text, double& value) {
  const char* first = text.data();
  const char* last = text.data() + text.size();
  auto result = std::from_chars(first, last, value, std::chars_format::fixed);
  if (result.ec == std::errc::invalid_argument) return false;
  if (result.ec == std::errc::result_out_of_range) {
    std::string_view read(first, static_cast<std::size_t>(result.ptr - first));
    bool negative = !read.empty() && read[0] == '-';
    std::string_view whole = read.substr(negative ? 1 : 0);
    whole = whole.substr(0, std::min(whole.find('.'), whole.size()));
    bool overflow = whole.find_first_not_of('0') != std::string_view::npos;
    value = overflow ? std::numeric_limits<double>::infinity() : 0.0;
    if (negative) value = -value;
  }
  return true;
}

// The exponent text is an optional minus and at least one digit; beyond the 32-bit range it
// saturates, which gives the same infinity or zero as the exact power would.
bool readExponent(std::string_view text, int& exponent) {
  bool negative = !text.empty() && text[0] == '-';
  std::string_view digits = text.substr(negative ? 1 : 0);
  if (digits.empty()) return false;
  long long magnitude = 0;
  for (char digit : digits) {
    magnitude = std::min<long long>(magnitude * 10 + (digit - '0'), 1LL << 32);
  }
  long long signedValue = negative ? -magnitude : magnitude;
  signedValue = std::clamp<long long>(signedValue, std::numeric_limits<int>::min(),
                                      std::numeric_limits<int>::max());
  exponent = static_cast<int>(signedValue);
  return true;
}

class Parser {
 public:
  Parser(const std::string& text, std::size_t& position) : text_(text), pos_(position) {}
  ~Parser() {
    if (reported_ > kMaxDiagnostics) WriteJsonDiagnosticsDropped(reported_ - kMaxDiagnostics);
  }
  Parser(const Parser&) = delete;
  Parser& operator=(const Parser&) = delete;

  JsonValue value(std::size_t depth) {
    skipSpace();
    switch (current()) {
      case '{':
        return depth < kMaxDepth ? object(depth + 1) : tooDeep();
      case '[':
        return depth < kMaxDepth ? array(depth + 1) : tooDeep();
      case '"':
        return string();
      case 'n':
        return null();
      case 't':
      case 'f':
        return boolean();
      case '-':
      case '0':
      case '1':
      case '2':
      case '3':
      case '4':
      case '5':
      case '6':
      case '7':
      case '8':
      case '9':
        return number();
      default:
        reportCurrent(kBadStart);
        return JsonValue();
    }
  }

 private:
  // The byte at the position; the end of the text reads as NUL.
  char current() const { return pos_ < text_.size() ? text_[pos_] : '\0'; }
  bool atEnd() const { return pos_ >= text_.size(); }

  void skipSpace() {
    while (pos_ < text_.size() && isSpace(text_[pos_])) ++pos_;
  }

  // Steps past the current byte; the position never goes beyond the end of the text.
  void stepPastCurrent() {
    if (pos_ < text_.size()) ++pos_;
  }

  void report(std::string_view fixedText, std::string_view offending) {
    if (++reported_ <= kMaxDiagnostics) WriteJsonDiagnostic(fixedText, offending);
  }

  void reportCurrent(std::string_view fixedText) {
    char byte = current();
    report(fixedText, std::string_view(&byte, 1));
  }

  // Up to count bytes from the position, fewer at the end of the text.
  std::string_view bytesAhead(std::size_t count) const {
    if (atEnd()) return {};
    return std::string_view(text_).substr(pos_, count);
  }

  JsonValue tooDeep() {
    reportCurrent(kTooDeep);
    skipConstruct();
    return JsonValue();
  }

  // Moves past the array or object at the position and everything nested in it (to the end of
  // the text when it is never closed), without building anything.
  void skipConstruct() {
    std::size_t level = 0;
    while (pos_ < text_.size()) {
      char byte = text_[pos_++];
      if (byte == '"') {
        while (pos_ < text_.size()) {
          char inner = text_[pos_++];
          if (inner == '\\') {
            stepPastCurrent();
          } else if (inner == '"') {
            break;
          }
        }
      } else if (byte == '[' || byte == '{') {
        ++level;
      } else if (byte == ']' || byte == '}') {
        if (--level == 0) return;
      }
    }
  }

  JsonValue object(std::size_t depth) {
    JsonValue result;
    JsonObject& members = JsonValueAccess::object(result);
    ++pos_;
    skipSpace();
    if (current() == '}') {
      ++pos_;
      return result;
    }
    for (;;) {
      JsonValue key = value(depth);
      skipSpace();
      if (current() != ':') {
        reportCurrent(kExpectedColon);
        return result;
      }
      ++pos_;
      skipSpace();
      // The member is placed before its value is read so that a document's memory follows
      // its reading order; a later duplicate key overwrites the earlier value.
      JsonValue& item = members.try_emplace(storedKey(key)).first->second;
      item = value(depth);
      skipSpace();
      char byte = current();
      if (byte == ',') {
        ++pos_;
      } else if (byte == '}') {
        ++pos_;
        return result;
      } else {
        reportCurrent(kExpectedComma);
        return result;
      }
    }
  }

  // Keys are kept in their escaped (written) form; a key that is not a String becomes "".
  static std::string storedKey(JsonValue& key) {
    if (key.kind() != JsonKind::String) return std::string();
    std::string& text = JsonValueAccess::text(key);
    if (!morvanix::NeedsJsonEscape(text)) return std::move(text);
    return escapeJson(text);
  }

  JsonValue array(std::size_t depth) {
    JsonValue result;
    JsonArray& elements = JsonValueAccess::array(result);
    ++pos_;
    skipSpace();
    if (current() == ']') {
      ++pos_;
      return result;
    }
    for (;;) {
      elements.push_back(value(depth));
      skipSpace();
      char byte = current();
      if (byte == ',') {
        ++pos_;
      } else if (byte == ']') {
        ++pos_;
        return result;
      } else {
        reportCurrent(kExpectedCommaOrBracket);
        elements.clear();
        return result;
      }
    }
  }

  JsonValue string() {
    JsonValue result;
    std::string& collected = JsonValueAccess::text(result);
    ++pos_;
    for (;;) {
      std::size_t runStart = pos_;
      while (pos_ < text_.size() && text_[pos_] != '"' && text_[pos_] != '\\') ++pos_;
      collected.append(text_, runStart, pos_ - runStart);
      if (atEnd()) {
        reportCurrent(kUnclosedString);
        return result;
      }
      if (text_[pos_] == '"') {
        ++pos_;
        return result;
      }
      ++pos_;  // the backslash
      char escaped = current();
      switch (escaped) {
        case '"':
        case '/':
          collected.push_back(escaped);
          break;
        case 'b':
          collected.push_back('\b');
          break;
        case 'f':
          collected.push_back('\f');
          break;
        case 'n':
          collected.push_back('\n');
          break;
        case 'r':
          collected.push_back('\r');
          break;
        case 't':
          collected.push_back('\t');
          break;
        case 'u':
          // Kept as written, not decoded: the texts are bytes with no character set.
          for (std::size_t i = 1; i <= 4; ++i) {
            std::size_t at = pos_ + i;
            char digit = at < text_.size() ? text_[at] : '\0';
            if (!isHexDigit(digit)) {
              report(kExpectedHex, std::string_view(&digit, 1));
              return JsonValue(std::string());
            }
          }
          collected.append("\\u");
          collected.append(text_, pos_ + 1, 4);
          pos_ += 4;
          break;
        default:
          collected.push_back('\\');
          break;
      }
      stepPastCurrent();
    }
  }

  JsonValue null() {
    if (text_.compare(pos_, 4, "null") == 0) {
      pos_ += 4;
      return JsonValue();
    }
    report(kExpectedNull, bytesAhead(4));
    return JsonValue();
  }

  JsonValue boolean() {
    if (text_.compare(pos_, 4, "true") == 0) {
      pos_ += 4;
      return JsonValue::fromBoolean(true);
    }
    if (text_.compare(pos_, 5, "false") == 0) {
      pos_ += 5;
      return JsonValue::fromBoolean(false);
    }
    report(kExpectedBoolean, bytesAhead(5));
    return JsonValue();
  }

  JsonValue number() {
    std::size_t start = pos_;
    bool floating = false;
    for (;;) {
      char byte = current();
      if (isDigit(byte) || byte == '-') {
        ++pos_;
      } else if (byte == '.') {
        floating = true;
        ++pos_;
      } else if (byte == 'e' || byte == 'E') {
        break;
      } else if (endsNumber(byte)) {
        return convert(start, pos_, floating, std::string_view(), false);
      } else {
        reportCurrent(kNumberCharacter);
        stepPastCurrent();
        return JsonValue();
      }
    }
    std::size_t mantissaEnd = pos_;
    ++pos_;  // the e
    std::size_t exponentStart = pos_;
    if (current() == '-') ++pos_;
    for (;;) {
      char byte = current();
      if (isDigit(byte)) {
        ++pos_;
      } else if (endsNumber(byte)) {
        std::string_view exponent(text_.data() + exponentStart, pos_ - exponentStart);
        return convert(start, mantissaEnd, floating, exponent, true);
      } else {
        reportCurrent(kNumberExponent);
        stepPastCurrent();
        return JsonValue();
      }
    }
  }

  // Turns the collected texts into a value; the position is already where the number ended.
  JsonValue convert(std::size_t start, std::size_t mantissaEnd, bool floating,
                    std::string_view exponentText, bool hasExponent) {
    std::string_view mantissa(text_.data() + start, mantissaEnd - start);
    int exponent = 0;
    if (hasExponent && !readExponent(exponentText, exponent)) return rejected(start);
    if (floating) {
      double base = 0.0;
      if (!readDouble(mantissa, base)) return rejected(start);
      return JsonValue::fromFloat(hasExponent ? base * std::pow(10.0, exponent) : base);
    }
    std::string_view digits = integerPrefix(mantissa);
    std::int32_t integer = 0;
    auto result = std::from_chars(digits.data(), digits.data() + digits.size(), integer);
    if (result.ec == std::errc::invalid_argument) return rejected(start);
    if (result.ec == std::errc::result_out_of_range) {
      // Beyond 32 bits: kept as a Float rather than truncated.
      double wide = 0.0;
      readDouble(digits, wide);
      return JsonValue::fromFloat(hasExponent ? wide * std::pow(10.0, exponent) : wide);
    }
    if (hasExponent) return JsonValue::fromFloat(integer * std::pow(10.0, exponent));
    return JsonValue::fromInteger(integer);
  }

  JsonValue rejected(std::size_t start) {
    report(kNumberInvalid, std::string_view(text_.data() + start, pos_ - start));
    return JsonValue();
  }

  const std::string& text_;
  std::size_t& pos_;
  std::size_t reported_ = 0;
};

}  // namespace

namespace detail {

JsonValue parseValue(const std::string& text, std::size_t& position) {
  return Parser(text, position).value(0);
}

}  // namespace detail

JsonValue JsonValue::parse(const std::string& text) {
  std::size_t position = 0;
  return detail::parseValue(text, position);
}

}  // namespace morvanix
