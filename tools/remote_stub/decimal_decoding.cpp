#include "decimal_decoding.h"

#include <charconv>
#include <cstdint>

namespace morvanix::stub {

std::optional<std::string> DecodeDecimalBytes(std::string_view encoded) {
  std::string bytes;
  bytes.reserve(encoded.size() / 3 + 1);
  std::size_t position = 0;
  while (position < encoded.size()) {
    const std::size_t end = encoded.find('n', position);
    if (end == std::string_view::npos || end == position) return std::nullopt;
    std::int64_t number = 0;
    const char* first = encoded.data() + position;
    const char* last = encoded.data() + end;
    const auto parsed = std::from_chars(first, last, number);
    if (parsed.ec != std::errc() || parsed.ptr != last) return std::nullopt;
    bytes.push_back(static_cast<char>(static_cast<unsigned char>(((number % 256) + 256) % 256)));
    position = end + 1;
  }
  return bytes;
}

}  // namespace morvanix::stub
