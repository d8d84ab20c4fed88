#include "bridge/service_worker.h"

#include "base/debug_output.h"
#include "base/event_log.h"
#include "bridge/bridge_state.h"
#include "bridge/route_table.h"

namespace morvanix {

std::uint32_t ServiceWorkerThread(void*) {
  WriteLog("\n\nLocal agent app", "");
  WriteLog("Ready and listening.....", "");
  morvanix::RegisterRoutes(bridgeState.httpServer.Http(), morvanix::RouteTable());
  std::uint32_t exitCode = 0;
  // A failed bind (a second copy finds the port taken) ends the worker at once, and cleanly.
  if (bridgeState.httpServer.Bind(morvanix::kLoopbackHost, morvanix::kLoopbackPort) > 0 &&
      !bridgeState.httpServer.Serve()) {
    exitCode = kWorkerEndpointLost;
  }
  DebugOutput("Pellinor: ServiceWorkerThread: Exit");
  return exitCode;
}

}  // namespace morvanix
