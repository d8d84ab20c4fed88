#include <charconv>
#include <cmath>
#include <vector>

#include "json/json_escape.h"
#include "json/json_value.h"
#include "json/json_value_access.h"

namespace morvanix {

namespace {

// Writes a value as wire text. Containers are walked with an explicit stack, so a document
// built in code may nest to any depth without exhausting the thread's stack.
class Writer {
 public:
  Writer(std::string& out, const std::string& indent) : out_(out), indent_(indent) {}

  void write(const JsonValue& root, long long depth) {
    begin(root, depth);
    while (!stack_.empty()) {
      Frame& frame = stack_.back();
      if (frame.object != nullptr) {
        if (frame.member == frame.object->end()) {
          out_.push_back('\n');
          appendClosingPad(frame.depth);
          out_.push_back('}');
          stack_.pop_back();
          continue;
        }
        if (frame.member != frame.object->begin()) out_.append(",\n");
        const auto& [key, value] = *frame.member++;
        appendPad(frame.depth);
        out_.push_back('"');
        out_.append(key);  // keys are stored in their written form
        out_.append("\" : ");
        begin(value, frame.depth + 1);  // may grow the stack: frame is not used after this
      } else {
        if (frame.element == frame.array->end()) {
          out_.push_back(']');
          stack_.pop_back();
          continue;
        }
        if (frame.element != frame.array->begin()) out_.append(", ");
        const JsonValue& value = *frame.element++;
        begin(value, frame.depth + 1);
      }
    }
  }

 private:
  struct Frame {
    const JsonObject* object;  // null for an array frame
    JsonObject::const_iterator member;
    const JsonArray* array;
    JsonArray::const_iterator element;
    long long depth;
  };

  // Writes a scalar whole, or a container's opening and pushes a frame for its content.
  void begin(const JsonValue& value, long long depth) {
    switch (value.kind()) {
      case JsonKind::Null:
        out_.append("null");
        break;
      case JsonKind::Boolean:
        out_.append(JsonValueAccess::booleanOf(value) ? "true" : "false");
        break;
      case JsonKind::Integer:
        appendInteger(JsonValueAccess::integerOf(value));
        break;
      case JsonKind::Float:
        appendFloat(JsonValueAccess::floatOf(value));
        break;
      case JsonKind::String:
        out_.push_back('"');
        morvanix::AppendEscapedJson(out_, JsonValueAccess::textOf(value));
        out_.push_back('"');
        break;
      case JsonKind::Object: {
        out_.append("{\n");
        const JsonObject& members = JsonValueAccess::objectOf(value);
        stack_.push_back(Frame{&members, members.begin(), nullptr, {}, depth});
        break;
      }
      case JsonKind::Array: {
        out_.push_back('[');
        const JsonArray& elements = JsonValueAccess::arrayOf(value);
        stack_.push_back(Frame{nullptr, {}, &elements, elements.begin(), depth});
        break;
      }
    }
  }

  void appendInteger(std::int32_t number) {
    char buffer[16];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, number);
    out_.append(buffer, result.ptr);
  }

  // Fixed notation with six decimals, as "%f" writes it. The remote server cannot read
  // "inf" or "nan", so those are written as null.
  void appendFloat(double number) {
    if (!std::isfinite(number)) {
      out_.append("null");
      return;
    }
    char buffer[400];  // the largest double has 309 integer digits
    auto result =
        std::to_chars(buffer, buffer + sizeof buffer, number, std::chars_format::fixed, 6);
    out_.append(buffer, result.ptr);
  }

  // The indent unit repeated depth times; nothing when depth is 0 or less.
  void appendPad(long long depth) { appendPadFrom(depth, 0); }

  // The pad less its first two characters, whatever the indent unit.
  void appendClosingPad(long long depth) { appendPadFrom(depth, 2); }

  void appendPadFrom(long long depth, std::size_t skip) {
    if (depth <= 0) return;
    std::size_t length = static_cast<std::size_t>(depth) * indent_.size();
    if (length <= skip) return;
    while (pads_.size() < length) pads_.append(indent_);
    out_.append(pads_, skip, length - skip);
  }

  std::string& out_;
  const std::string& indent_;
  std::string pads_;  // the indent unit repeated as often as the deepest pad so far needs
  std::vector<Frame> stack_;
};

}  // namespace

std::string JsonValue::dump(int depth, const std::string& indent) const {
  std::string out;
  Writer(out, indent).write(*this, depth);
  return out;
}

}  // namespace morvanix
