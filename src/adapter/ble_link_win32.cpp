#include "adapter/ble_link.h"

namespace morvanix {

// The Windows link is not there yet: discovery has no BLE step on this platform.
std::unique_ptr<SerialBackend> MakeBleLinkBackend(const StopToken&, const Deadline&) {
  return nullptr;
}

std::unique_ptr<BleCandidateSource> MakePlatformBleCandidateSource() {
  return nullptr;
}

}  // namespace morvanix
