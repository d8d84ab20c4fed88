#include "adapter/ble_gatt.h"

#include <algorithm>
#include <cctype>

namespace morvanix {

namespace {

struct KnownService {
  const char* service;
  const char* notify;
  const char* write;
};

// Transparent-UART services of the radio modules inside adapters, most common first.
constexpr KnownService kKnownServices[] = {
    {"fff0", "fff1", "fff2"},
    {"ffe0", "ffe1", "ffe1"},
    {"18f0", "2af0", "2af1"},
    {"e7810a71-73ae-499d-8c15-faa9aef0c3f2", "bef8d6c9-9c21-4c9e-b632-bd58c1009f9f",
     "bef8d6c9-9c21-4c9e-b632-bd58c1009f9f"},
};

// Generic Access, Generic Attribute, Device Information, Battery: every device has some, and
// their characteristics (Service Changed indicates) carry no adapter text.
constexpr const char* kStandardServices[] = {"1800", "1801", "180a", "180f"};

constexpr const char* kAdapterNameParts[] = {"OBD", "ELM", "V-LINK"};

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

bool SameUuid(std::string_view a, std::string_view b) {
  return FullBleUuid(a) == FullBleUuid(b);
}

bool CanWrite(const BleCharacteristicFlags& flags) {
  return flags.write || flags.writeWithoutResponse;
}

bool CanNotify(const BleCharacteristicFlags& flags) {
  return flags.notify || flags.indicate;
}

BleChannel ChannelOf(const BleCharacteristic& notify, const BleCharacteristic& write) {
  return {notify.handle, write.handle,
          write.flags.writeWithoutResponse ? BleWriteType::kCommand : BleWriteType::kRequest};
}

const BleCharacteristic* Find(const BleService& service, std::string_view uuid) {
  for (const BleCharacteristic& c : service.characteristics) {
    if (SameUuid(c.uuid, uuid)) return &c;
  }
  return nullptr;
}

std::optional<BleChannel> ByTable(const BleService& service) {
  for (const KnownService& known : kKnownServices) {
    if (!SameUuid(service.uuid, known.service)) continue;
    const BleCharacteristic* notify = Find(service, known.notify);
    const BleCharacteristic* write = Find(service, known.write);
    if (notify != nullptr && write != nullptr && CanNotify(notify->flags) &&
        CanWrite(write->flags)) {
      return ChannelOf(*notify, *write);
    }
  }
  return std::nullopt;
}

// Notify and write within one service; a characteristic that does both is preferred for
// both, as the radio modules with a single characteristic have it.
std::optional<BleChannel> ByFlags(const BleService& service) {
  const BleCharacteristic* notify = nullptr;
  const BleCharacteristic* write = nullptr;
  for (const BleCharacteristic& c : service.characteristics) {
    if (CanNotify(c.flags) && CanWrite(c.flags)) return ChannelOf(c, c);
    if (notify == nullptr && CanNotify(c.flags)) notify = &c;
    if (write == nullptr && CanWrite(c.flags)) write = &c;
  }
  if (notify == nullptr || write == nullptr) return std::nullopt;
  return ChannelOf(*notify, *write);
}

bool IsStandardService(std::string_view uuid) {
  return std::any_of(std::begin(kStandardServices), std::end(kStandardServices),
                     [&](const char* standard) { return SameUuid(uuid, standard); });
}

}  // namespace

std::string FullBleUuid(std::string_view uuid) {
  if (uuid.size() == 4) return "0000" + Lower(uuid) + "-0000-1000-8000-00805f9b34fb";
  return Lower(uuid);
}

const std::vector<std::string>& KnownAdapterServices() {
  static const std::vector<std::string> services = [] {
    std::vector<std::string> full;
    for (const KnownService& known : kKnownServices) full.push_back(FullBleUuid(known.service));
    return full;
  }();
  return services;
}

bool IsKnownAdapterService(std::string_view uuid) {
  const std::string full = FullBleUuid(uuid);
  const std::vector<std::string>& known = KnownAdapterServices();
  return std::find(known.begin(), known.end(), full) != known.end();
}

bool HasAdapterName(std::string_view name) {
  std::string upper(name);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return std::any_of(std::begin(kAdapterNameParts), std::end(kAdapterNameParts),
                     [&](const char* part) { return upper.find(part) != std::string::npos; });
}

std::optional<BleChannel> ChooseBleChannel(const std::vector<BleService>& services) {
  for (const std::string& known : KnownAdapterServices()) {
    for (const BleService& service : services) {
      if (SameUuid(service.uuid, known)) {
        if (auto channel = ByTable(service)) return channel;
      }
    }
  }
  for (const BleService& service : services) {
    if (IsKnownAdapterService(service.uuid)) {
      if (auto channel = ByFlags(service)) return channel;
    }
  }
  for (const BleService& service : services) {
    if (!IsKnownAdapterService(service.uuid) && !IsStandardService(service.uuid)) {
      if (auto channel = ByFlags(service)) return channel;
    }
  }
  return std::nullopt;
}

}  // namespace morvanix
