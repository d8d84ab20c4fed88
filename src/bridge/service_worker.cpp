#include "bridge/service_worker.h"

#include "base/debug_output.h"
#include "base/event_log.h"
#include "bridge/bridge_state.h"
#include "bridge/route_table.h"

namespace morvanix {

std::uint32_t ServiceWorkerThread(void* parameter) {
  BridgeState& agent = *static_cast<BridgeState*>(parameter);
  WriteLog("\n\nLocal agent app", "");
  WriteLog("Ready and listening.....", "");
  RegisterRoutes(agent.httpServer.Http(), RouteTable(agent));
  std::uint32_t exitCode = 0;
  // A failed bind (a second copy finds the port taken) ends the worker at once, and cleanly.
  if (agent.httpServer.Bind(kLoopbackHost, kLoopbackPort) > 0 && !agent.httpServer.Serve()) {
    exitCode = kWorkerEndpointLost;
  }
  DebugOutput("Pellinor: ServiceWorkerThread: Exit");
  return exitCode;
}

}  // namespace morvanix
