#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace morvanix {

// A characteristic's properties, as the stack lists them.
struct BleCharacteristicFlags {
  bool notify = false;
  bool indicate = false;
  bool write = false;                 // write with response ("request")
  bool writeWithoutResponse = false;  // "command"
};

struct BleCharacteristic {
  std::string uuid;    // any case, 16-bit ("fff1") or 128-bit form
  std::string handle;  // the stack's name for it (BlueZ: its object path)
  BleCharacteristicFlags flags;
};

struct BleService {
  std::string uuid;
  std::vector<BleCharacteristic> characteristics;
};

enum class BleWriteType { kCommand, kRequest };

// The two characteristics the adapter's text goes through (they may be the same one).
struct BleChannel {
  std::string notifyHandle;
  std::string writeHandle;
  BleWriteType writeType = BleWriteType::kCommand;
};

// At the default MTU a write and a notification carry at most this many bytes.
inline constexpr std::size_t kBleChunkBytes = 20;

// The 128-bit form in lower case: "FFF0" gives "0000fff0-0000-1000-8000-00805f9b34fb".
// Anything that is neither 4 nor 36 characters comes back lower-cased as it is.
std::string FullBleUuid(std::string_view uuid);

// The services of the adapters' serial radio modules, 128-bit form, in the order they are
// preferred (also the scan's filter).
const std::vector<std::string>& KnownAdapterServices();
bool IsKnownAdapterService(std::string_view uuid);

// True for a device name that says it is an adapter (contains OBD, ELM or V-LINK, any case):
// some adapters do not advertise their service.
bool HasAdapterName(std::string_view name);

// Where the adapter's text goes: the characteristics of the first known service in the
// table's order, when the device has them with the flags needed; else, by the flags, a
// characteristic that notifies and one that can be written, the device's known services
// first, then its other services (never the standard ones of every device). Writes go
// without response where the characteristic allows it.
std::optional<BleChannel> ChooseBleChannel(const std::vector<BleService>& services);

}  // namespace morvanix
