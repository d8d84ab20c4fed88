#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "service/service_host.h"

namespace morvanix {

// A service host that records every operation and fails the ones a test asks it to. The
// worker thread runs `worker` (when set) on a real thread in place of the procedure it was
// given, which is recorded with its parameter.
class RecordingServiceHost final : public ServiceHost {
 public:
  // What to fail.
  bool failRegistration = false;
  bool failThreadStart = false;
  bool failRunningReport = false;
  std::uint32_t dispatcherError = 0;
  std::string moduleFileName = "/opt/agent/morvanix-agent";
  std::function<void()> worker;
  std::uint32_t workerExitCode = 0;  // what WaitForThread returns
  // Called on every report, on the reporting thread, outside the host's own lock.
  std::function<void(const ServiceStatus&)> onReport;

  std::uint32_t StartDispatcher(const char* serviceName, ServiceMainFunction, void*) override {
    Record(std::string("StartDispatcher ") + serviceName);
    return dispatcherError;
  }

  ServiceStatusHandle RegisterControlHandler(const char* serviceName,
                                             ControlHandlerFunction handler,
                                             void* context) override {
    Record(std::string("RegisterControlHandler ") + serviceName);
    std::lock_guard<std::mutex> lock(mutex_);
    handler_ = handler;
    handlerContext_ = context;
    return failRegistration ? nullptr : this;
  }

  bool ReportStatus(ServiceStatusHandle handle, const ServiceStatus& status) override {
    if (onReport) onReport(status);
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back("ReportStatus");
    handles_.push_back(handle);
    reports_.push_back(status);
    changed_.notify_all();
    return !(failRunningReport && status.dwCurrentState == morvanix::kServiceRunning);
  }

  ThreadHandle StartThread(ThreadProcedure procedure, void* parameter) override {
    Record("StartThread");
    std::lock_guard<std::mutex> lock(mutex_);
    procedure_ = procedure;
    parameter_ = parameter;
    if (failThreadStart) return nullptr;
    workerThread_ = std::thread([this] {
      if (worker) worker();
    });
    return &workerThread_;
  }

  std::uint32_t WaitForThread(ThreadHandle thread) override {
    Record("WaitForThread");
    if (thread == &workerThread_ && workerThread_.joinable()) workerThread_.join();
    return workerExitCode;
  }

  std::string ModuleFileName() override { return moduleFileName; }

  void DebugString(const char* text) override { Record(std::string("DebugString ") + text); }

  // Waits until a status with this state has been reported; false after the time limit.
  bool WaitForState(std::uint32_t state,
                    std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] {
      for (const ServiceStatus& status : reports_) {
        if (status.dwCurrentState == state) return true;
      }
      return false;
    });
  }

  std::vector<ServiceStatus> Reports() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return reports_;
  }

  std::vector<std::string> Calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }

  bool AllReportsUsedOwnHandle() const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (ServiceStatusHandle handle : handles_) {
      if (handle != this) return false;
    }
    return true;
  }

  ControlHandlerFunction RegisteredHandler() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return handler_;
  }

  void* RegisteredContext() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return handlerContext_;
  }

  ThreadProcedure StartedProcedure() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return procedure_;
  }

  void* StartedParameter() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return parameter_;
  }

 private:
  void Record(std::string call) {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(std::move(call));
    changed_.notify_all();
  }

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> calls_;
  std::vector<ServiceStatus> reports_;
  std::vector<ServiceStatusHandle> handles_;
  ControlHandlerFunction handler_ = nullptr;
  void* handlerContext_ = nullptr;
  ThreadProcedure procedure_ = nullptr;
  void* parameter_ = nullptr;
  std::thread workerThread_;
};

}  // namespace morvanix
