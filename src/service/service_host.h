#pragma once

#include <cstdint>
#include <string>

#include "base/service_types.h"

namespace morvanix {

// The service-control operations that the lifecycle needs, so that the same lifecycle runs
// under the Windows service control manager, under the Linux host (systemd or a terminal)
// and under a recording fake in tests.
class ServiceHost {
 public:
  virtual ~ServiceHost() = default;

  // Hands the calling thread to the dispatcher, which runs serviceMain (given `context`) on
  // a thread of its own and delivers controls on this one; returns when the service has
  // stopped. 0 on success, else the platform's error code.
  virtual std::uint32_t StartDispatcher(const char* serviceName, ServiceMainFunction serviceMain,
                                        void* context) = 0;

  // Every control is delivered to handler with `context`. Null on failure.
  virtual ServiceStatusHandle RegisterControlHandler(const char* serviceName,
                                                     ControlHandlerFunction handler,
                                                     void* context) = 0;

  virtual bool ReportStatus(ServiceStatusHandle handle, const ServiceStatus& status) = 0;

  // Null on failure.
  virtual ThreadHandle StartThread(ThreadProcedure procedure, void* parameter) = 0;
  // Waits without a time limit for the thread to end, then releases its handle; returns
  // what the thread's procedure returned.
  virtual std::uint32_t WaitForThread(ThreadHandle thread) = 0;

  // Full path of the running executable; empty when it cannot be read whole.
  virtual std::string ModuleFileName() = 0;

  virtual void DebugString(const char* text) = 0;
};

// The host of the platform this was built for.
ServiceHost& PlatformServiceHost();

}  // namespace morvanix
