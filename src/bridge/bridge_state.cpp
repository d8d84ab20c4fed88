#include "service/bridge_state.h"

BridgeState bridgeState;
