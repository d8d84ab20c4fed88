#pragma once

#include "base/socket_calls.h"

namespace morvanix {

// Probes an adapter's idle connection after a few seconds of silence, a few seconds apart, so
// that an adapter that lost power (no close, no reset) is noticed within about ten seconds:
// the system's defaults wait two hours. Best effort; a system that refuses keeps its own.
void KeepAdapterConnectionAlive(SocketHandle sock);

}  // namespace morvanix
