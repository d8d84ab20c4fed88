#include "adapter/ble_paired_devices.h"

#include <cctype>
#include <cstdio>

namespace morvanix {

namespace {

bool IsHex(char c) {
  return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  return std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  }
  return true;
}

// Parts of an id: the enumerator's "\" or the path's "#", and the "_" and "&" inside a part.
bool IsSeparator(char c) {
  return c == '\\' || c == '#' || c == '_' || c == '&';
}

}  // namespace

std::string BleAddressFromDeviceId(std::string_view id) {
  if (StartsWithNoCase(id, "\\\\?\\")) id.remove_prefix(4);
  // BTHLE for a device, BTHLEDEVICE for one of its services; BTHENUM (classic) never.
  if (!StartsWithNoCase(id, "BTHLE")) return {};
  std::size_t start = 0;
  while (start < id.size()) {
    std::size_t end = start;
    while (end < id.size() && !IsSeparator(id[end])) ++end;
    const std::string_view part = id.substr(start, end - start);
    bool address = part.size() == 12;
    for (char c : part) address = address && IsHex(c);
    if (address) {
      std::string out;
      for (std::size_t i = 0; i < 12; i += 2) {
        if (!out.empty()) out += ':';
        out += static_cast<char>(std::toupper(static_cast<unsigned char>(part[i])));
        out += static_cast<char>(std::toupper(static_cast<unsigned char>(part[i + 1])));
      }
      return out;
    }
    start = end + 1;
  }
  return {};
}

std::vector<BleGattApi::Device> PairedCandidates(const std::vector<PairedLeDevice>& devices) {
  std::vector<BleGattApi::Device> found;
  for (const PairedLeDevice& d : devices) {
    if (d.address.empty()) continue;
    if (!d.servicePath.empty()) {
      found.push_back({d.address, d.name, d.servicePath});
    } else if (HasAdapterName(d.name) && !d.devicePath.empty()) {
      found.push_back({d.address, d.name, d.devicePath});
    }
  }
  return found;
}

std::optional<UuidFields> ParseUuid(std::string_view uuid) {
  // 8-4-4-4-12 hex digits.
  if (uuid.size() != 36) return std::nullopt;
  std::uint8_t bytes[16] = {};
  std::size_t n = 0;
  for (std::size_t i = 0; i < uuid.size();) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (uuid[i] != '-') return std::nullopt;
      ++i;
      continue;
    }
    if (!IsHex(uuid[i]) || !IsHex(uuid[i + 1])) return std::nullopt;
    bytes[n++] = static_cast<std::uint8_t>(HexValue(uuid[i]) * 16 + HexValue(uuid[i + 1]));
    i += 2;
  }
  UuidFields f;
  f.data1 = (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
            (std::uint32_t{bytes[2]} << 8) | bytes[3];
  f.data2 = static_cast<std::uint16_t>((bytes[4] << 8) | bytes[5]);
  f.data3 = static_cast<std::uint16_t>((bytes[6] << 8) | bytes[7]);
  for (std::size_t i = 0; i < 8; ++i) f.data4[i] = bytes[8 + i];
  return f;
}

std::string UuidText(const UuidFields& f) {
  char text[37];
  std::snprintf(text, sizeof text, "%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                static_cast<unsigned long>(f.data1), f.data2, f.data3, f.data4[0], f.data4[1],
                f.data4[2], f.data4[3], f.data4[4], f.data4[5], f.data4[6], f.data4[7]);
  return text;
}

}  // namespace morvanix
