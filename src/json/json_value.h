// The agent's one document type: a JSON value with value semantics, its text form and its reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <iosfwd>
#include <map>
#include <string>

namespace morvanix {

// The numbers are fixed: other code stores and compares them.
enum class JsonKind : int {
  Null = 0,
  Object = 1,
  Array = 2,
  String = 3,
  Float = 4,
  Integer = 5,
  Boolean = 6
};

class JsonValue;
// std::string compares bytes as unsigned values, so "SSID" sorts before "discovered".
using JsonObject = std::map<std::string, JsonValue>;
using JsonArray = std::deque<JsonValue>;

class JsonValue {
 public:
  JsonValue();  // Null
  // Implicit so that makeObject({"SSID", ssid}) reads naturally. A null pointer gives "".
  JsonValue(const char* text);            // NOLINT(google-explicit-constructor)
  JsonValue(const std::string& text);     // NOLINT(google-explicit-constructor)
  JsonValue(const JsonValue& other);      // deep copy
  JsonValue(JsonValue&& other) noexcept;  // takes the content over; other is left Null
  ~JsonValue();

  JsonValue& operator=(const JsonValue& other);
  JsonValue& operator=(JsonValue&& other) noexcept;
  JsonValue& operator=(const std::string& text);  // becomes a String holding a copy of text
  JsonValue& operator=(const char* text);

  static JsonValue fromInteger(std::int32_t number);
  static JsonValue fromFloat(double number);
  static JsonValue fromBoolean(bool truth);

  JsonKind kind() const { return kind_; }
  // Same kind: nothing happens. Another kind: old content released, new kind's empty content.
  void setKind(JsonKind kind);

  // Forgiving keyed access: a non-Object becomes an empty Object, a missing member is added
  // as Null. The key is stored exactly as given.
  JsonValue& member(const std::string& key);
  // Forgiving positional access: a non-Array becomes an empty Array, which grows with Nulls
  // until index is valid.
  JsonValue& element(std::size_t index);

  std::string asText() const;         // escapeJson of a String's text, "" for every other kind
  const JsonObject& members() const;  // an Object's members in key order, else empty

  // Read accessors: the stored content, or 0 / 0.0 / false / "" / empty for another kind.
  std::int32_t integerValue() const;
  double floatValue() const;
  bool booleanValue() const;
  const std::string& stringValue() const;  // raw (unescaped) text
  const JsonArray& elements() const;

  // The wire text form. No line feed at the end.
  std::string dump(int depth = 1, const std::string& indent = "  ") const;
  // Reads the first value of text; what follows it is ignored. Faults are reported on the
  // JSON error stream and answered with substitute values; this never throws on bad input.
  static JsonValue parse(const std::string& text);

 private:
  friend class JsonValueAccess;

  void release() noexcept;
  void copyFrom(const JsonValue& other);

  union Content {
    JsonObject* object;
    JsonArray* array;
    std::string* text;
    double floating;
    std::int32_t integer;
    bool boolean;
  };
  Content content_{};
  JsonKind kind_ = JsonKind::Null;
};

// Builds an Object from alternating keys and values. String keys are stored escaped; a key of
// another kind becomes "". A later duplicate key replaces the earlier value. An unpaired last
// value is ignored.
JsonValue makeObject(std::initializer_list<JsonValue> keysAndValues);

// Quote, backslash, backspace, form feed, line feed, carriage return and tab become two-character
// escapes; every other byte is copied unchanged.
std::string escapeJson(const std::string& text);

namespace detail {

// Reads one value at position and leaves position after what it consumed (never beyond the
// end). A seam for tests and the fuzzer: callers parse whole texts with JsonValue::parse.
JsonValue parseValue(const std::string& text, std::size_t& position);

}  // namespace detail

// Where the parser writes its diagnostics; nullptr restores the process's standard error.
// Safe to call while other threads parse.
void SetJsonErrorStream(std::ostream* stream);

}  // namespace morvanix
