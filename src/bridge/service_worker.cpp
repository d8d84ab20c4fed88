#include "bridge/service_worker.h"

#include "bridge/route_table.h"
#include "service/bridge_state.h"
#include "service/debug_output.h"
#include "service/event_log.h"

std::uint32_t ServiceWorkerThread(void*) {
  WriteLog("\n\nLocal agent app", "");
  WriteLog("Ready and listening.....", "");
  morvanix::RegisterRoutes(bridgeState.httpServer.Http(), morvanix::RouteTable());
  // A failed bind returns at once; the worker's end then stops the service.
  bridgeState.httpServer.Listen(morvanix::kLoopbackHost, morvanix::kLoopbackPort);
  DebugOutput("Pellinor: ServiceWorkerThread: Exit");
  return 0;
}
