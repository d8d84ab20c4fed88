#pragma once

#include <cstdint>

namespace morvanix {

inline constexpr char kLoopbackHost[] = "127.0.0.1";
inline constexpr int kLoopbackPort = 8070;

// What the worker returns when the endpoint was lost while serving and could not be bound
// again: the service then stops with a failure, so that the restart machinery acts.
inline constexpr std::uint32_t kWorkerEndpointLost = 1;

// The service's one worker thread: writes the two start lines, registers the routes and
// serves 127.0.0.1:8070 until the agent's stop or a failed bind. The parameter is the agent
// (a BridgeState); returns 0, or kWorkerEndpointLost.
std::uint32_t ServiceWorkerThread(void* agent);

}  // namespace morvanix
