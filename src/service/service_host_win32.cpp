// The Windows host: the real service control manager, kernel objects and debug output.
#include <windows.h>

#include <atomic>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "service/service_host.h"

namespace morvanix {

namespace {

std::atomic<ServiceMainFunction> serviceMainFunction{nullptr};
std::atomic<ControlHandlerFunction> controlHandlerFunction{nullptr};

VOID WINAPI ServiceMainEntry(DWORD argc, LPSTR* argv) {
  ServiceMainFunction serviceMain = serviceMainFunction.load();
  if (serviceMain != nullptr) serviceMain(argc, argv);
}

VOID WINAPI ControlHandlerEntry(DWORD control) {
  ControlHandlerFunction handler = controlHandlerFunction.load();
  if (handler != nullptr) handler(control);
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
  std::uint32_t StartDispatcher(const char* serviceName, ServiceMainFunction serviceMain) override {
    serviceMainFunction.store(serviceMain);
    std::string name = serviceName;
    SERVICE_TABLE_ENTRYA table[] = {{name.data(), ServiceMainEntry}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherA(table)) return GetLastError();
    return 0;
  }

  ServiceStatusHandle RegisterControlHandler(const char* serviceName,
                                             ControlHandlerFunction handler) override {
    controlHandlerFunction.store(handler);
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
    return SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(handle), &native) != FALSE;
  }

  EventHandle CreateStopEvent() override { return CreateEventA(nullptr, TRUE, FALSE, nullptr); }

  void SignalEvent(EventHandle event) override { SetEvent(event); }

  void CloseEvent(EventHandle event) override { CloseHandle(event); }

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

  void WaitForThread(ThreadHandle thread) override {
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
  }

  std::uint32_t LastError() override { return GetLastError(); }

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
