#include <atomic>
#include <cstdlib>

#include "base/debug_output.h"
#include "service/service_host.h"

namespace morvanix {

namespace {

std::atomic<ServiceHost*> installedHost{nullptr};

}  // namespace

void UseServiceHost(ServiceHost& host) {
  installedHost.store(&host);
}

ServiceHost& CurrentServiceHost() {
  ServiceHost* host = installedHost.load();
  if (host == nullptr) {
    DebugOutput("morvanix: no service host installed");
    std::abort();
  }
  return *host;
}

}  // namespace morvanix
