#include <algorithm>

#include "adapter/ble_bluez_posix.h"
#include "adapter/ble_link.h"

namespace morvanix {

namespace {

// When the stack stops the scan it is done with; a stop of the check waits no longer.
constexpr std::chrono::milliseconds kStopScanBound{1000};
// BlueZ answers what it knows in milliseconds; a stack that hangs costs the check no more.
constexpr std::chrono::milliseconds kBleAskBound{1000};

bool IsCandidate(const BluezObject& o) {
  if (!o.device || o.address.empty()) return false;
  return HasAdapterName(o.name) ||
         std::any_of(o.uuids.begin(), o.uuids.end(),
                     [](const std::string& uuid) { return IsKnownAdapterService(uuid); });
}

bool OnPoweredAdapter(const std::vector<BluezObject>& objects, const BluezObject& device) {
  return std::any_of(objects.begin(), objects.end(), [&](const BluezObject& o) {
    return o.adapter && o.powered && o.path == device.parent;
  });
}

// Devices on an adapter that is off are left alone: the agent never powers one on.
std::vector<BleCandidate> CandidatesIn(const std::vector<BluezObject>& objects,
                                       const std::vector<std::string>& tried) {
  std::vector<BleCandidate> found;
  for (const BluezObject& o : objects) {
    if (IsCandidate(o) && OnPoweredAdapter(objects, o) &&
        std::find(tried.begin(), tried.end(), o.address) == tried.end()) {
      found.push_back({o.address, o.name});
    }
  }
  return found;
}

class BluezCandidates final : public BleCandidateSource {
 public:
  BluezCandidates(std::unique_ptr<BluezBus> bus, std::vector<BluezObject> objects)
      : bus_(std::move(bus)), objects_(std::move(objects)) {}

  // What the stack listed when it was first asked, a moment ago.
  std::vector<BleCandidate> Known(const Deadline&, const StopToken&) override {
    return CandidatesIn(objects_, {});
  }

  std::vector<BleCandidate> Scan(const std::vector<std::string>& tried, const Deadline& deadline,
                                 const StopToken& stop) override {
    std::vector<BluezObject> objects;
    // The devices probed since may have changed the tree; the adapters have not.
    if (!bus_->ManagedObjects(objects, deadline, stop)) return {};
    const auto adapter = std::find_if(objects.begin(), objects.end(),
                                      [](const BluezObject& o) { return o.adapter && o.powered; });
    if (adapter == objects.end()) return {};
    const std::string adapterPath = adapter->path;
    // Any new device or changed property is a reason to look again.
    sd_bus_slot* added = nullptr;
    sd_bus_slot* changed = nullptr;
    bool news = false;
    const auto note = [](sd_bus_message*, void* flag, sd_bus_error*) {
      *static_cast<bool*>(flag) = true;
      return 0;
    };
    (void)sd_bus_match_signal_async(bus_->Bus(), &added, nullptr, "/",
                                    "org.freedesktop.DBus.ObjectManager", "InterfacesAdded", note,
                                    nullptr, &news);
    (void)sd_bus_add_match_async(bus_->Bus(), &changed,
                                 "type='signal',interface='org.freedesktop.DBus.Properties',"
                                 "member='PropertiesChanged',path_namespace='/org/bluez'",
                                 note, nullptr, &news);
    const auto filter = [](sd_bus_message* m) {
      if (sd_bus_message_open_container(m, 'a', "{sv}") < 0 ||
          sd_bus_message_append(m, "{sv}", "Transport", "s", "le") < 0 ||
          sd_bus_message_open_container(m, 'e', "sv") < 0 ||
          sd_bus_message_append(m, "s", "UUIDs") < 0 ||
          sd_bus_message_open_container(m, 'v', "as") < 0 ||
          sd_bus_message_open_container(m, 'a', "s") < 0) {
        return false;
      }
      for (const std::string& uuid : KnownAdapterServices()) {
        if (sd_bus_message_append(m, "s", uuid.c_str()) < 0) return false;
      }
      return sd_bus_message_close_container(m) >= 0 && sd_bus_message_close_container(m) >= 0 &&
             sd_bus_message_close_container(m) >= 0 && sd_bus_message_close_container(m) >= 0;
    };
    std::vector<BleCandidate> found;
    if (bus_->Call(adapterPath, kAdapterInterface, "SetDiscoveryFilter", filter, deadline, stop)
            .Ok() &&
        bus_->Call(adapterPath, kAdapterInterface, "StartDiscovery", deadline, stop).Ok()) {
      while (found.empty() && !stop.StopRequested() && !deadline.Passed()) {
        if (news) {
          news = false;
          if (bus_->ManagedObjects(objects, deadline, stop)) found = CandidatesIn(objects, tried);
          continue;
        }
        if (!bus_->Pump(deadline, stop) && bus_->Broken()) break;
      }
      // Stopped also after the check's stop: no scan outlives the check.
      (void)bus_->Call(adapterPath, kAdapterInterface, "StopDiscovery",
                       Deadline::After(kStopScanBound), StopToken());
    }
    sd_bus_slot_unref(added);
    sd_bus_slot_unref(changed);
    return found;
  }

 private:
  std::unique_ptr<BluezBus> bus_;
  std::vector<BluezObject> objects_;
};

}  // namespace

std::unique_ptr<BleCandidateSource> MakePlatformBleCandidateSource() {
  std::unique_ptr<BluezBus> bus = BluezBus::Connect();
  if (!bus) return nullptr;
  // One question tells whether BlueZ is there at all: without it, one round trip is all the
  // check spends on Bluetooth.
  std::vector<BluezObject> objects;
  if (!bus->ManagedObjects(objects, Deadline::After(kBleAskBound), StopToken())) return nullptr;
  return std::make_unique<BluezCandidates>(std::move(bus), std::move(objects));
}

}  // namespace morvanix
