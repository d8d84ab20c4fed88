// The Linux host: plays the service control manager for the same lifecycle, whether the
// agent runs under systemd or in a terminal. SIGTERM and SIGINT become the stop control,
// taken with sigwaitinfo on the dispatcher thread; status reports go to standard error.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include "base/debug_output.h"
#include "base/folder_posix.h"
#include "service/service_host.h"

namespace morvanix {

namespace {

const char* StateName(std::uint32_t state) {
  switch (state) {
    case kServiceStopped:
      return "STOPPED";
    case kServiceStartPending:
      return "START_PENDING";
    case kServiceStopPending:
      return "STOP_PENDING";
    case kServiceRunning:
      return "RUNNING";
    default:
      return "UNKNOWN";
  }
}

class PosixServiceHost final : public ServiceHost {
 public:
  std::uint32_t StartDispatcher(const char* serviceName, ServiceMainFunction serviceMain,
                                void* context) override;
  ServiceStatusHandle RegisterControlHandler(const char* serviceName,
                                             ControlHandlerFunction handler,
                                             void* context) override;
  bool ReportStatus(ServiceStatusHandle handle, const ServiceStatus& status) override;
  ThreadHandle StartThread(ThreadProcedure procedure, void* parameter) override;
  std::uint32_t WaitForThread(ThreadHandle thread) override;
  std::string ModuleFileName() override;
  void DebugString(const char* text) override { DebugOutput(text); }

 private:
  std::atomic<ControlHandlerFunction> handler_{nullptr};
  std::atomic<void*> handlerContext_{nullptr};
  std::atomic<std::uint32_t> reportedState_{0};
  // The exit code of the last STOPPED report: the process ends with a failure after it.
  std::atomic<std::uint32_t> stoppedExitCode_{0};
  // The dispatcher's thread while it runs, woken by each status report.
  std::atomic<bool> dispatching_{false};
  std::atomic<pthread_t> dispatcher_{};
};

std::uint32_t PosixServiceHost::StartDispatcher(const char* serviceName,
                                                ServiceMainFunction serviceMain, void* context) {
  // Blocked before any thread exists, so every thread inherits the mask and the signals
  // wait for sigwaitinfo below instead of ending the process.
  // SIGUSR1 wakes this thread when the service reports a status (a stop held back may be
  // due) and when it has ended by itself, so that it never has to look at the clock.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  stoppedExitCode_.store(0);
  const pthread_t dispatcher = pthread_self();
  dispatcher_.store(dispatcher);
  dispatching_.store(true);
  // A peer or a journal that went away must fail the write, not end the process.
  ::signal(SIGPIPE, SIG_IGN);

  std::atomic<bool> serviceEnded{false};
  std::string name = serviceName;
  char* argv[] = {name.data(), nullptr};
  std::thread serviceThread;
  try {
    serviceThread = std::thread([&] {
      serviceMain(1, argv, context);
      serviceEnded.store(true);
      // Stays pending until taken, so the wake-up is never lost.
      pthread_kill(dispatcher, SIGUSR1);
    });
  } catch (const std::system_error& error) {
    dispatching_.store(false);
    return static_cast<std::uint32_t>(error.code().value());
  }

  // Like the service control manager, hold a stop back while the service is starting and
  // deliver it once the service reports RUNNING (that report wakes this loop); one that comes
  // later than that is dropped.
  bool stopWanted = false;
  while (!serviceEnded.load()) {
    const int signal = sigwaitinfo(&stopSignals, nullptr);
    if (signal == SIGTERM || signal == SIGINT) stopWanted = true;
    if (!stopWanted) continue;
    const std::uint32_t state = reportedState_.load();
    if (state == kServiceStartPending || state == 0) continue;
    stopWanted = false;
    ControlHandlerFunction handler = handler_.load();
    if (state == kServiceRunning && handler != nullptr) {
      handler(kServiceControlStop, handlerContext_.load());
    }
  }
  serviceThread.join();
  dispatching_.store(false);
  // The wake-up may still be pending if the loop saw the end first; a later dispatcher on
  // this thread must not take it for its own.
  sigset_t wake;
  sigemptyset(&wake);
  sigaddset(&wake, SIGUSR1);
  const timespec now{0, 0};
  sigtimedwait(&wake, nullptr, &now);
  // A service that stopped with an error ends the process with a failure status (1), so
  // that systemd's restart on failure acts; a clean stop exits 0.
  return stoppedExitCode_.load() == 0 ? 0 : 1;
}

ServiceStatusHandle PosixServiceHost::RegisterControlHandler(const char*,
                                                             ControlHandlerFunction handler,
                                                             void* context) {
  handlerContext_.store(context);
  handler_.store(handler);
  return this;
}

bool PosixServiceHost::ReportStatus(ServiceStatusHandle, const ServiceStatus& status) {
  reportedState_.store(status.dwCurrentState);
  if (status.dwCurrentState == kServiceStopped) stoppedExitCode_.store(status.dwWin32ExitCode);
  // Stays pending until taken, so a stop held back is never left waiting.
  if (dispatching_.load()) pthread_kill(dispatcher_.load(), SIGUSR1);
  char line[160];
  std::snprintf(line, sizeof line,
                "morvanix: service status %s (type 0x%x, controls %u, exit code %u, check "
                "point %u)",
                StateName(status.dwCurrentState), status.dwServiceType, status.dwControlsAccepted,
                status.dwWin32ExitCode, status.dwCheckPoint);
  DebugOutput(line);
  return true;
}

// A thread with the place its procedure's result is kept.
struct WorkerThread {
  std::uint32_t result = 0;
  std::thread thread;
};

ThreadHandle PosixServiceHost::StartThread(ThreadProcedure procedure, void* parameter) {
  try {
    auto worker = std::make_unique<WorkerThread>();
    worker->thread = std::thread(
        [procedure, parameter, result = &worker->result] { *result = procedure(parameter); });
    return worker.release();
  } catch (const std::system_error&) {
  } catch (const std::bad_alloc&) {
  }
  return nullptr;
}

std::uint32_t PosixServiceHost::WaitForThread(ThreadHandle thread) {
  std::unique_ptr<WorkerThread> worker(static_cast<WorkerThread*>(thread));
  if (worker->thread.joinable()) worker->thread.join();
  return worker->result;
}

std::string PosixServiceHost::ModuleFileName() {
  return LinkTarget("/proc/self/exe");
}

}  // namespace

ServiceHost& PlatformServiceHost() {
  static PosixServiceHost host;
  return host;
}

}  // namespace morvanix
