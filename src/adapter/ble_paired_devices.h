#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "adapter/ble_gatt_link.h"

namespace morvanix {

// One paired LE device as the system lists it (Windows: its device interfaces).
struct PairedLeDevice {
  std::string address;  // 00:1D:A5:68:98:8A
  std::string name;
  std::string devicePath;  // the LE device's own interface
  // The interface of the first of its services in KnownAdapterServices' order; empty when it
  // offers none of them.
  std::string servicePath;
};

// The address in an LE device's instance id or interface path, upper case with colons:
// "BTHLE\DEV_001DA568988A\7&2C7B3A2&0&001DA568988A" and a GATT service's
// "\\?\bthledevice#{0000fff0-...}_dev_vid&..._001da568988a#8&...#{...}" both give
// "00:1D:A5:68:98:8A". Empty for any other id (a classic Bluetooth device, a USB port).
std::string BleAddressFromDeviceId(std::string_view id);

// The devices that may be adapters, in the system's order: one with a known service opens by
// that service's interface, one with only an adapter's name by the device's own; any other
// (a phone, a headset, a sensor) is never listed, so never connected.
std::vector<BleGattApi::Device> PairedCandidates(const std::vector<PairedLeDevice>& devices);

// A 128-bit UUID's fields as a GUID holds them.
struct UuidFields {
  std::uint32_t data1 = 0;
  std::uint16_t data2 = 0;
  std::uint16_t data3 = 0;
  std::array<std::uint8_t, 8> data4{};
};
// From the 36-character form (any case); nothing for any other text.
std::optional<UuidFields> ParseUuid(std::string_view uuid);
// The 36-character form, lower case.
std::string UuidText(const UuidFields& fields);

}  // namespace morvanix
