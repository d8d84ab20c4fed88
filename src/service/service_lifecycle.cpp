#include "service/service_lifecycle.h"

#include <mutex>

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

    state.stopEvent = host.CreateStopEvent();
    if (state.stopEvent == nullptr) {
      SetStatus(state.serviceStatus, kServiceStopped, 0, host.LastError(), 1);
      host.ReportStatus(state.statusHandle, state.serviceStatus);
      return;
    }

    SetStatus(state.serviceStatus, kServiceRunning, kServiceAcceptStop, 0, 0);
    if (!host.ReportStatus(state.statusHandle, state.serviceStatus)) {
      host.DebugString("morvanix: ServiceMain: SetServiceStatus returned error");
    }
  }

  // A worker that cannot be started leaves nothing to wait for: the service stops at once.
  ThreadHandle worker = host.StartThread(ServiceWorkerThread, nullptr);
  if (worker != nullptr) host.WaitForThread(worker);

  std::lock_guard<std::mutex> lock(state.statusLock);
  detail::StopHttpServer();
  host.CloseEvent(state.stopEvent);
  state.stopEvent = kInvalidEventHandle;
  SetStatus(state.serviceStatus, kServiceStopped, 0, 0, 3);
  host.ReportStatus(state.statusHandle, state.serviceStatus);
}

void ServiceControlHandler(std::uint32_t control) {
  if (control != kServiceControlStop) return;
  ServiceHost& host = CurrentServiceHost();
  BridgeState& state = bridgeState;
  std::lock_guard<std::mutex> lock(state.statusLock);
  if (state.serviceStatus.dwCurrentState != kServiceRunning) return;

  detail::StopHttpServer();
  SetStatus(state.serviceStatus, kServiceStopPending, 0, 0, 4);
  host.ReportStatus(state.statusHandle, state.serviceStatus);
  host.SignalEvent(state.stopEvent);
}

int RunServiceProcess(ServiceHost& host) {
  UseServiceHost(host);
  char logPath[kLogPathCapacity];
  const bool computed = ComputeLogPath(host.ModuleFileName(), logPath);
  SetEventLogPath(logPath);
  if (!computed) {
    host.DebugString("morvanix: no room for the event log path; the event log is off");
  }
  return static_cast<int>(host.StartDispatcher(kServiceName, ServiceMain));
}

}  // namespace morvanix
