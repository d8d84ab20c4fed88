// BLE on Windows: the paired LE devices only (the system offers no scan to a program built
// without its runtime classes), through BluetoothApis.dll when the system has it.
#include <memory>
#include <string>
#include <vector>

#include "adapter/ble_gatt_api_win32.h"
#include "adapter/ble_link.h"

namespace morvanix {

namespace {

class PairedCandidateSource final : public BleCandidateSource {
 public:
  explicit PairedCandidateSource(std::vector<BleCandidate> known) : known_(std::move(known)) {}

  // What SetupAPI listed when the source was made, a moment ago.
  std::vector<BleCandidate> Known(const Deadline&, const StopToken&) override { return known_; }

  // Only a device the user paired is seen: nothing to scan for.
  std::vector<BleCandidate> Scan(const std::vector<std::string>&, const Deadline&,
                                 const StopToken&) override {
    return {};
  }

 private:
  std::vector<BleCandidate> known_;
};

}  // namespace

std::unique_ptr<SerialBackend> MakeBleLinkBackend(const StopToken& stop,
                                                  const Deadline& connectBy) {
  std::shared_ptr<BleGattApi> api = MakeWin32BleGattApi(stop, connectBy);
  if (!api) return nullptr;
  return MakeBleGattLinkBackend(std::move(api));
}

// Without the DLL, or with no paired LE device, this is one library look-up and one SetupAPI
// question, and no GATT call at all.
std::unique_ptr<BleCandidateSource> MakePlatformBleCandidateSource() {
  if (!HaveWin32BleGatt()) return nullptr;
  const std::vector<PairedLeDevice> devices = ListPairedLeDevices();
  if (devices.empty()) return nullptr;
  std::vector<BleCandidate> known;
  for (const BleGattApi::Device& d : PairedCandidates(devices))
    known.push_back({d.address, d.name});
  return std::make_unique<PairedCandidateSource>(std::move(known));
}

}  // namespace morvanix
