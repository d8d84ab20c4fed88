// Direct access to a value's content for the parser and the serializer, which fill and walk
// documents without the forgiving lookups and kind checks of the public interface.
#pragma once

#include "json/json_value.h"

namespace morvanix {

class JsonValueAccess {
 public:
  // Switches value to the kind (as setKind does) and returns the container or text it holds.
  static JsonObject& object(JsonValue& value) {
    value.setKind(JsonKind::Object);
    return *value.content_.object;
  }
  static JsonArray& array(JsonValue& value) {
    value.setKind(JsonKind::Array);
    return *value.content_.array;
  }
  static std::string& text(JsonValue& value) {
    value.setKind(JsonKind::String);
    return *value.content_.text;
  }

  // Unchecked reads: the caller has already looked at kind().
  static const JsonObject& objectOf(const JsonValue& value) { return *value.content_.object; }
  static const JsonArray& arrayOf(const JsonValue& value) { return *value.content_.array; }
  static const std::string& textOf(const JsonValue& value) { return *value.content_.text; }
  static std::int32_t integerOf(const JsonValue& value) { return value.content_.integer; }
  static double floatOf(const JsonValue& value) { return value.content_.floating; }
  static bool booleanOf(const JsonValue& value) { return value.content_.boolean; }
};

}  // namespace morvanix
