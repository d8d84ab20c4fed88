#include "service/service_lifecycle.h"

#include <mutex>

#include "base/descriptor_limit.h"
#include "base/event_log.h"
#include "base/log_path.h"
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

void StopAgent(BridgeState& agent) {
  if (agent.httpServer.IsRunning()) WriteLog("Stopping the http server: ", "");
  // The stop waits for every connection being served; a repeated-request series would hold
  // it for up to its whole budget, so the series ends after its current repetition.
  agent.EndSeries();
  agent.stop.RequestStop();
}

void ServiceMain(std::uint32_t, char**, void* context) {
  RunningService& service = *static_cast<RunningService*>(context);
  ServiceHost& host = service.host;
  BridgeState& state = service.agent;
  {
    std::lock_guard<std::mutex> lock(state.statusLock);
    state.statusHandle = host.RegisterControlHandler(kServiceName, ServiceControlHandler, &service);
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
  ThreadHandle worker = host.StartThread(ServiceWorkerThread, &state);
  const std::uint32_t workerCode = worker != nullptr ? host.WaitForThread(worker) : 0;

  ServiceStatusHandle handle = nullptr;
  ServiceStatus stopped;
  {
    std::lock_guard<std::mutex> lock(state.statusLock);
    StopAgent(state);
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

void ServiceControlHandler(std::uint32_t control, void* context) {
  if (control != kServiceControlStop) return;
  RunningService& service = *static_cast<RunningService*>(context);
  ServiceHost& host = service.host;
  BridgeState& state = service.agent;
  std::lock_guard<std::mutex> lock(state.statusLock);
  if (state.serviceStatus.dwCurrentState != kServiceRunning) return;

  StopAgent(state);
  SetStatus(state.serviceStatus, kServiceStopPending, 0, 0, 4);
  host.ReportStatus(state.statusHandle, state.serviceStatus);
}

int RunServiceProcess(ServiceHost& host) {
  // Lives until the dispatcher returns, after the last control has been delivered.
  BridgeState agent = BridgeState::FromEnvironment();
  RunningService service{host, agent};
  // Before any thread runs: the connection cap is worked out from the limit in force.
  RaiseDescriptorLimit();
  char logPath[kLogPathCapacity];
  const bool computed = ComputeLogPath(host.ModuleFileName(), logPath);
  SetEventLogPath(logPath);
  if (!computed) {
    host.DebugString("morvanix: no room for the event log path; the event log is off");
  }
  return static_cast<int>(host.StartDispatcher(kServiceName, ServiceMain, &service));
}

}  // namespace morvanix
