#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "service/service_host.h"

using namespace morvanix;
using namespace std::chrono_literals;

namespace {

std::atomic<int> stopSignal{SIGTERM};
std::atomic<int> stopsDelivered{0};
std::atomic<bool> reportedRunning{false};
std::atomic<bool> stopBeforeRunning{false};

// Counts the stops in the counter it was registered with: the context the service main was
// handed, passed on.
void RecordControl(std::uint32_t control, void* stops) {
  if (control != kServiceControlStop) return;
  if (!reportedRunning.load()) stopBeforeRunning.store(true);
  static_cast<std::atomic<int>*>(stops)->fetch_add(1);
}

bool WaitForStop(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (stopsDelivered.load() == 0) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

void Report(ServiceHost& host, ServiceStatusHandle handle, std::uint32_t state) {
  ServiceStatus status;
  status.dwServiceType = kServiceWin32OwnProcess;
  status.dwCurrentState = state;
  status.dwControlsAccepted = state == kServiceRunning ? kServiceAcceptStop : 0;
  host.ReportStatus(handle, status);
}

// The signal comes while the service is still starting; the host must hold it back until
// RUNNING has been reported and then deliver it once, as the stop control.
void ServiceSignalledWhileStarting(std::uint32_t, char**, void* stops) {
  ServiceHost& host = PlatformServiceHost();
  ServiceStatusHandle handle = host.RegisterControlHandler(kServiceName, RecordControl, stops);
  Report(host, handle, kServiceStartPending);
  ::kill(::getpid(), stopSignal.load());
  std::this_thread::sleep_for(200ms);
  reportedRunning.store(true);
  Report(host, handle, kServiceRunning);
  WaitForStop(5s);
  Report(host, handle, kServiceStopPending);
  Report(host, handle, kServiceStopped);
}

void ServiceEndingAtOnce(std::uint32_t, char**, void*) {}

std::atomic<std::uint32_t> stoppedExitCode{0};

void ServiceStoppingWithExitCode(std::uint32_t, char**, void* stops) {
  ServiceHost& host = PlatformServiceHost();
  ServiceStatusHandle handle = host.RegisterControlHandler(kServiceName, RecordControl, stops);
  ServiceStatus status;
  status.dwCurrentState = kServiceStopped;
  status.dwWin32ExitCode = stoppedExitCode.load();
  host.ReportStatus(handle, status);
}

class ServicePosixHost : public ::testing::Test {
 protected:
  void SetUp() override {
    stopsDelivered.store(0);
    reportedRunning.store(false);
    stopBeforeRunning.store(false);
  }
};

TEST_F(ServicePosixHost, DeliversEachStopSignalOnceTheServiceRuns) {
  for (int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    SetUp();
    stopSignal.store(signal);
    testing::internal::CaptureStderr();
    const std::uint32_t result = PlatformServiceHost().StartDispatcher(
        kServiceName, ServiceSignalledWhileStarting, &stopsDelivered);
    const std::string reports = testing::internal::GetCapturedStderr();

    EXPECT_EQ(result, 0u);
    EXPECT_EQ(stopsDelivered.load(), 1);
    EXPECT_FALSE(stopBeforeRunning.load());
    EXPECT_EQ(reports,
              "morvanix: service status START_PENDING (type 0x10, controls 0, exit code 0, "
              "check point 0)\n"
              "morvanix: service status RUNNING (type 0x10, controls 1, exit code 0, check "
              "point 0)\n"
              "morvanix: service status STOP_PENDING (type 0x10, controls 0, exit code 0, "
              "check point 0)\n"
              "morvanix: service status STOPPED (type 0x10, controls 0, exit code 0, check "
              "point 0)\n");
  }
}

TEST_F(ServicePosixHost, ReturnsWhenTheServiceMainReturns) {
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(PlatformServiceHost().StartDispatcher(kServiceName, ServiceEndingAtOnce, nullptr), 0u);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);
}

TEST_F(ServicePosixHost, AServiceStoppedWithAnErrorEndsTheProcessWithAFailure) {
  struct Case {
    std::uint32_t exitCode;
    std::uint32_t processStatus;
  };
  // The clean stop last: a failure of an earlier run must not stick.
  for (const Case& c : {Case{kErrorServiceSpecificError, 1}, Case{5, 1}, Case{0, 0}}) {
    SCOPED_TRACE(c.exitCode);
    stoppedExitCode.store(c.exitCode);
    testing::internal::CaptureStderr();
    const std::uint32_t result = PlatformServiceHost().StartDispatcher(
        kServiceName, ServiceStoppingWithExitCode, &stopsDelivered);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, c.processStatus);
  }
}

TEST_F(ServicePosixHost, ModuleFileNameIsTheRunningExecutable) {
  EXPECT_EQ(std::filesystem::path(PlatformServiceHost().ModuleFileName()),
            std::filesystem::canonical("/proc/self/exe"));
}

}  // namespace
