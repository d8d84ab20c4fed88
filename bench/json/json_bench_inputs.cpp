#include "json_bench_inputs.h"
#include "json/json_value.h"

#include <cstdint>
#include <string>

using namespace morvanix;

namespace {

// Small deterministic generator so every run reads the same document.
class Lcg {
 public:
  std::uint32_t next() {
    state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<std::uint32_t>(state_ >> 33);
  }
  std::uint32_t below(std::uint32_t limit) { return next() % limit; }

 private:
  std::uint64_t state_ = 0x2545F4914F6CDD1DULL;
};

std::string generatedText(Lcg& random, std::size_t length) {
  static const char* const kPieces[] = {"ATRV", "41 00", "BF", " ", "\\\"", "\\\\", "\\n",
                                        "\\t",  "VIN",   "0x", "-", "ok",   "/",    "SEARCHING"};
  std::string text;
  while (text.size() < length) text += kPieces[random.below(sizeof kPieces / sizeof *kPieces)];
  return text;
}

void appendRecord(std::string& out, Lcg& random, int index) {
  out += "{\"id\": " + std::to_string(index);
  out += ", \"name\": \"" + generatedText(random, 24) + "\"";
  out += ", \"values\": [";
  for (int i = 0; i < 8; ++i) {
    if (i != 0) out += ", ";
    out += std::to_string(random.below(100000)) + "." + std::to_string(random.below(1000));
  }
  out += "], \"counts\": [";
  for (int i = 0; i < 6; ++i) {
    if (i != 0) out += ",";
    out += std::to_string(static_cast<int>(random.below(2000000)) - 1000000);
  }
  out += "], \"meta\": {\"flag\": " + std::string(random.below(2) != 0 ? "true" : "false");
  out += ", \"note\": \"" + generatedText(random, 40) + "\"";
  out += ", \"inner\": {\"x\": " + std::to_string(random.below(1000)) + ".25, \"y\": null";
  out += ", \"z\": \"" + generatedText(random, 12) + "\"}}}";
}

}  // namespace

namespace morvanix {

std::string BenchRequestText() {
  return "{\"id\": 17, \"command\": \"{\\\"01\\\":\\\"ATRV\\\",\\\"02\\\":\\\"0100\\\"}\"}";
}

std::string BenchResponseText() {
  JsonValue results;
  for (int i = 1; i <= 32; ++i) {
    std::string key = (i < 10 ? "0" : "") + std::to_string(i);
    results.member(key) = "41 00 BF 9F F9 80\n41 20 80 01 A0 01\n";
  }
  results.member("function") = "read_all";
  JsonValue message = makeObject({"SSID", "ABC123", "message_type", "RESPONSE"});
  message.member("id") = JsonValue::fromInteger(17);
  message.member("response") = results.dump();
  return message.dump();
}

std::string BenchLargeDocumentText() {
  Lcg random;
  std::string out = "{\"records\": [";
  for (int index = 0; out.size() < 1000000; ++index) {
    if (index != 0) out += ",\n";
    appendRecord(out, random, index);
  }
  out += "], \"count\": 1}";
  return out;
}

}  // namespace morvanix
