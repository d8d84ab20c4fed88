// The Windows host: the real service control manager, kernel objects and debug output.
#include <windows.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "service/service_host.h"

namespace morvanix {

namespace {

// The service control manager calls its entry points without a context of their own, so the
// functions and the contexts they were handed with are kept here.
std::atomic<ServiceMainFunction> serviceMainFunction{nullptr};
std::atomic<void*> serviceMainContext{nullptr};
std::atomic<ControlHandlerFunction> controlHandlerFunction{nullptr};
std::atomic<void*> controlHandlerContext{nullptr};
std::string registeredServiceName;  // written before the handler is registered
std::once_flag failureActionsOnce;

// A service that crashes, or stops with an error, comes back: restarted 5 s after each of
// its first three failures, counted afresh after a day without one. The installer cannot set this,
// so the service does once it runs; a failure is reported as debug output and changes nothing else.
void SetFailureActions(const std::string& serviceName) {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) {
    OutputDebugStringA("morvanix: failure actions: the service manager cannot be opened");
    return;
  }
  // Restart actions need start access besides the change of configuration.
  SC_HANDLE service =
      OpenServiceA(manager, serviceName.c_str(), SERVICE_CHANGE_CONFIG | SERVICE_START);
  if (service == nullptr) {
    OutputDebugStringA("morvanix: failure actions: the service cannot be opened");
    CloseServiceHandle(manager);
    return;
  }
  SC_ACTION actions[3] = {
      {SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 5000}};
  SERVICE_FAILURE_ACTIONSA config{};
  config.dwResetPeriod = 24 * 60 * 60;
  config.cActions = 3;
  config.lpsaActions = actions;
  if (!ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, &config)) {
    OutputDebugStringA("morvanix: failure actions: ChangeServiceConfig2A failed");
  }
  // A stop with a non-zero exit code (the endpoint lost) counts as a failure too.
  SERVICE_FAILURE_ACTIONS_FLAG onStops{};
  onStops.fFailureActionsOnNonCrashFailures = TRUE;
  if (!ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &onStops)) {
    OutputDebugStringA("morvanix: failure actions: the flag for failed stops was not taken");
  }
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
}

VOID WINAPI ServiceMainEntry(DWORD argc, LPSTR* argv) {
  ServiceMainFunction serviceMain = serviceMainFunction.load();
  if (serviceMain != nullptr) serviceMain(argc, argv, serviceMainContext.load());
}

VOID WINAPI ControlHandlerEntry(DWORD control) {
  ControlHandlerFunction handler = controlHandlerFunction.load();
  if (handler != nullptr) handler(control, controlHandlerContext.load());
}

struct ThreadStart {
  ThreadProcedure procedure;
  void* parameter;
};

DWORD WINAPI ThreadEntry(LPVOID start) {
  std::unique_ptr<ThreadStart> owned(static_cast<ThreadStart*>(start));
  return owned->procedure(owned->parameter);
}

class Win32ServiceHost final : public ServiceHost {
 public:
  std::uint32_t StartDispatcher(const char* serviceName, ServiceMainFunction serviceMain,
                                void* context) override {
    serviceMainContext.store(context);
    serviceMainFunction.store(serviceMain);
    std::string name = serviceName;
    SERVICE_TABLE_ENTRYA table[] = {{name.data(), ServiceMainEntry}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherA(table)) return GetLastError();
    return 0;
  }

  ServiceStatusHandle RegisterControlHandler(const char* serviceName,
                                             ControlHandlerFunction handler,
                                             void* context) override {
    controlHandlerContext.store(context);
    controlHandlerFunction.store(handler);
    registeredServiceName = serviceName;
    return reinterpret_cast<ServiceStatusHandle>(
        RegisterServiceCtrlHandlerA(serviceName, ControlHandlerEntry));
  }

  bool ReportStatus(ServiceStatusHandle handle, const ServiceStatus& status) override {
    SERVICE_STATUS native{};
    native.dwServiceType = status.dwServiceType;
    native.dwCurrentState = status.dwCurrentState;
    native.dwControlsAccepted = status.dwControlsAccepted;
    native.dwWin32ExitCode = status.dwWin32ExitCode;
    native.dwServiceSpecificExitCode = status.dwServiceSpecificExitCode;
    native.dwCheckPoint = status.dwCheckPoint;
    native.dwWaitHint = status.dwWaitHint;
    const bool reported =
        SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(handle), &native) != FALSE;
    // Once running, the service manager is no longer busy starting this service.
    if (reported && status.dwCurrentState == SERVICE_RUNNING) {
      std::call_once(failureActionsOnce, [] { SetFailureActions(registeredServiceName); });
    }
    return reported;
  }

  ThreadHandle StartThread(ThreadProcedure procedure, void* parameter) override {
    auto* start = new (std::nothrow) ThreadStart{procedure, parameter};
    if (start == nullptr) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
    HANDLE thread = CreateThread(nullptr, 0, ThreadEntry, start, 0, nullptr);
    if (thread == nullptr) delete start;
    return thread;
  }

  std::uint32_t WaitForThread(ThreadHandle thread) override {
    WaitForSingleObject(thread, INFINITE);
    DWORD result = 0;
    if (!GetExitCodeThread(thread, &result)) result = GetLastError();
    CloseHandle(thread);
    return result;
  }

  std::string ModuleFileName() override {
    // Read with room to spare, so that a path too long for the log path is told apart from
    // one that was cut short.
    std::vector<char> path(32768);
    const DWORD length = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0 || length >= path.size()) return {};
    return std::string(path.data(), length);
  }

  void DebugString(const char* text) override { OutputDebugStringA(text); }
};

}  // namespace

ServiceHost& PlatformServiceHost() {
  static Win32ServiceHost host;
  return host;
}

}  // namespace morvanix
