#include "bridge/bridge_state.h"

namespace morvanix {

BridgeState bridgeState;

}  // namespace morvanix
