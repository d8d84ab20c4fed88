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
  // A failed bind returns at once; the worker's end then stops the service.
  bridgeState.httpServer.Listen(morvanix::kLoopbackHost, morvanix::kLoopbackPort);
  DebugOutput("Pellinor: ServiceWorkerThread: Exit");
  return 0;
}

}  // namespace morvanix
