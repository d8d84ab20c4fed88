// Direct access to a value's containers for the parser and the serializer, which need to fill
// and walk them without the forgiving lookups of the public interface.
#pragma once

#include "json/json_value.h"

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
};
