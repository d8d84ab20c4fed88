#include "service/service_lifecycle.h"

#include <mutex>

#include "base/descriptor_limit.h"
#include "base/event_log.h"
#include "base/log_path.h"
#include "bridge/bridge_state.h"
#include "bridge/service_worker.h"

namespace morvanix {

namespace {

void SetStatus(ServiceStatus& status, std::uint32_t state, std::uint32_t controlsAccepted,
               std::uint32_t exitCode, std::uint32_t checkPoint) {
  status.dwCurrentState = state;
  status.dwControlsAccepted = controlsAccepted;
  status.dwWin32ExitCode = exitCode;
  status.dwCheckPoint = checkPoint;
}

}  // namespace

namespace detail {

void StopHttpServer() {
  if (bridgeState.httpServer.IsRunning()) WriteLog("Stopping the http server: ", "");
  bridgeState.httpServer.Stop();
}

}  // namespace detail

void ServiceMain(std::uint32_t, char**) {
  ServiceHost& host = CurrentServiceHost();
  BridgeState& state = bridgeState;
  {
    std::lock_guard<std::mutex> lock(state.statusLock);
    state.statusHandle = host.RegisterControlHandler(kServiceName, ServiceControlHandler);
    if (state.statusHandle == nullptr) return;

    state.serviceStatus = ServiceStatus{};
    state.serviceStatus.dwServiceType = kServiceWin32OwnProcess;
    state.serviceStatus.dwCurrentState = kServiceStartPending;
    host.ReportStatus(state.statusHandle, state.serviceStatus);

    SetStatus(state.serviceStatus, kServiceRunning, kServiceAcceptStop, 0, 0);
    if (!host.ReportStatus(state.statusHandle, state.serviceStatus)) {
      host.DebugString("morvanix: ServiceMain: SetServiceStatus returned error");
    }
  }

  // A worker that cannot be started leaves nothing to wait for: the service stops at once.
  ThreadHandle worker = host.StartThread(ServiceWorkerThread, nullptr);
  const std::uint32_t workerCode = worker != nullptr ? host.WaitForThread(worker) : 0;

  ServiceStatusHandle handle = nullptr;
  ServiceStatus stopped;
  {
    std::lock_guard<std::mutex> lock(state.statusLock);
    detail::StopHttpServer();
    // A worker that failed (the endpoint lost) stops the service with an error, so that the
    // service manager's failure actions restart it.
    SetStatus(state.serviceStatus, kServiceStopped, 0,
              workerCode == 0 ? 0 : kErrorServiceSpecificError, 3);
    state.serviceStatus.dwServiceSpecificExitCode = workerCode;
    handle = state.statusHandle;
    stopped = state.serviceStatus;
  }
  // The last thing done, and outside the lock: once STOPPED is reported, the process may end
  // and destroy the state, its lock included. The state already reads STOPPED, so a control
  // that comes meanwhile does nothing, and one accepted earlier has reported under the lock.
  host.ReportStatus(handle, stopped);
}

void ServiceControlHandler(std::uint32_t control) {
  if (control != kServiceControlStop) return;
  ServiceHost& host = CurrentServiceHost();
  BridgeState& state = bridgeState;
  std::lock_guard<std::mutex> lock(state.statusLock);
  if (state.serviceStatus.dwCurrentState != kServiceRunning) return;

  detail::StopHttpServer();
  // The stop waits for every connection being served; a repeated-request series would hold
  // it for up to its whole budget, so the series ends after its current repetition.
  state.repeatBudget = 0;
  SetStatus(state.serviceStatus, kServiceStopPending, 0, 0, 4);
  host.ReportStatus(state.statusHandle, state.serviceStatus);
}

int RunServiceProcess(ServiceHost& host) {
  UseServiceHost(host);
  // Before any thread runs: the connection cap is worked out from the limit in force.
  RaiseDescriptorLimit();
  char logPath[kLogPathCapacity];
  const bool computed = ComputeLogPath(host.ModuleFileName(), logPath);
  SetEventLogPath(logPath);
  if (!computed) {
    host.DebugString("morvanix: no room for the event log path; the event log is off");
  }
  return static_cast<int>(host.StartDispatcher(kServiceName, ServiceMain));
}

}  // namespace morvanix
