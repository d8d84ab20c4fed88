// Parses arbitrary bytes, writes the result, and checks that writing is stable under a second
// read: dump(parse(dump(v))) == dump(v) for every value v the parser yields.
//
// One class of value is checked differently: a number standing alone as the whole text. Its
// written form has no terminator after it, and the reader only accepts a number that is followed
// by a blank, a comma or a closing bracket, so it is read back with a blank appended.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <ostream>
#include <string>

#include "json/json_value.h"

using namespace morvanix;

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

bool isNumber(const JsonValue& value) {
  return value.kind() == JsonKind::Integer || value.kind() == JsonKind::Float;
}

void checkRoundTrip(const JsonValue& value) {
  const std::string written = value.dump();
  const std::string reread = JsonValue::parse(isNumber(value) ? written + " " : written).dump();
  check(reread == written);
  JsonValue copy(value);
  check(copy.dump() == written);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static std::ostream silent(nullptr);  // the diagnostics are not under test here
  SetJsonErrorStream(&silent);
  const std::string text(reinterpret_cast<const char*>(data), size);

  checkRoundTrip(JsonValue::parse(text));

  // Read value after value from every place the reader stops, as a caller of parseValue may.
  std::size_t position = 0;
  while (position < text.size()) {
    std::size_t before = position;
    JsonValue value = detail::parseValue(text, position);
    check(position <= text.size());
    checkRoundTrip(value);
    if (position == before) ++position;
  }
  return 0;
}
