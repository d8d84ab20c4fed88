#pragma once

#include <cstdint>

#include "bridge/bridge_state.h"
#include "service/service_host.h"

namespace morvanix {

// What the service entry points work on, handed to them by the host as their context: the
// host they report to and the agent they run.
struct RunningService {
  ServiceHost& host;
  BridgeState& agent;
};

// The service main function named in the dispatcher table; context is the RunningService,
// the arguments are ignored.
void ServiceMain(std::uint32_t argc, char** argv, void* context);

// The control handler; context is the RunningService. Only a stop received while RUNNING is
// acted on.
void ServiceControlHandler(std::uint32_t control, void* context);

// Stops the agent: logs "Stopping the http server: " when its loopback server is running,
// ends a running series and requests the agent's one stop. A stop before the server listens
// is kept and ends it as soon as it does.
void StopAgent(BridgeState& agent);

// The work of main: the agent made from the environment, the descriptor limit raised, the
// event log path next to the executable, then the dispatcher under the service name.
// Returns the process exit code.
int RunServiceProcess(ServiceHost& host);

}  // namespace morvanix
