#include "bridge/bridge_state.h"

#include <utility>

namespace morvanix {

BridgeState BridgeState::FromEnvironment() {
  // One after the other, so that their reports of a malformed value come in this order.
  RemoteEndpoint remote = RemoteEndpointFromEnvironment();
  std::optional<NamedAdapter> named = NamedAdapterFromEnvironment();
  return BridgeState(std::move(remote), std::move(named));
}

}  // namespace morvanix
