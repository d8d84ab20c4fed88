#include "adapter/serial_device_name.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace morvanix {

namespace {

constexpr std::string_view kComPrefix = "\\\\.\\COM";
// Serial adapters seen on Linux, in the order they are counted. Built-in ttyS ports are left
// out: they open, stay silent and would cost a full probe each.
constexpr std::array<std::string_view, 3> kDeviceFamilies = {"ttyUSB", "ttyACM", "rfcomm"};
constexpr std::size_t kMaxDigits = 6;

// The decimal number after prefix, or -1 when the rest is not a plain number.
long NumberAfter(std::string_view text, std::string_view prefix) {
  if (text.size() <= prefix.size() || text.substr(0, prefix.size()) != prefix) return -1;
  const std::string_view digits = text.substr(prefix.size());
  if (digits.size() > kMaxDigits) return -1;
  long value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

}  // namespace

std::optional<int> ComPortNumber(const std::string& name) {
  const long n = NumberAfter(name, kComPrefix);
  if (n < 1 || name[kComPrefix.size()] == '0') return std::nullopt;
  return static_cast<int>(n);
}

std::string ResolveSerialDevicePath(const std::string& name, const char* serialDir,
                                    const std::vector<std::string>& devEntries) {
  const std::optional<int> number = ComPortNumber(name);
  if (!number) return name;
  if (serialDir != nullptr && serialDir[0] != '\0') {
    return std::string(serialDir) + "/COM" + std::to_string(*number);
  }
  struct Device {
    std::size_t family;
    long number;
    const std::string* entry;
    bool operator<(const Device& o) const {
      return family != o.family   ? family < o.family
             : number != o.number ? number < o.number
                                  : *entry < *o.entry;
    }
  };
  std::vector<Device> found;
  for (std::size_t family = 0; family < kDeviceFamilies.size(); ++family) {
    for (const std::string& entry : devEntries) {
      const long n = NumberAfter(entry, kDeviceFamilies[family]);
      if (n >= 0) found.push_back({family, n, &entry});
    }
  }
  std::sort(found.begin(), found.end());
  const auto index = static_cast<std::size_t>(*number - 1);
  if (index >= found.size()) return std::string();
  return "/dev/" + *found[index].entry;
}

}  // namespace morvanix
