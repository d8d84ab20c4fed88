#pragma once

#include <cstdint>

namespace morvanix {

// Portable stand-ins for the service-control types, so that the lifecycle logic builds and
// is tested without the platform. The Windows host maps them onto the real types one to one.

// The seven members of the status record reported to the service control manager.
struct ServiceStatus {
  std::uint32_t dwServiceType = 0;
  std::uint32_t dwCurrentState = 0;
  std::uint32_t dwControlsAccepted = 0;
  std::uint32_t dwWin32ExitCode = 0;
  std::uint32_t dwServiceSpecificExitCode = 0;
  std::uint32_t dwCheckPoint = 0;
  std::uint32_t dwWaitHint = 0;
};

// Opaque handles owned by the host that made them.
using ServiceStatusHandle = void*;
using ThreadHandle = void*;

// `context` is what the caller handed the host together with the function.
using ServiceMainFunction = void (*)(std::uint32_t argc, char** argv, void* context);
using ControlHandlerFunction = void (*)(std::uint32_t control, void* context);
using ThreadProcedure = std::uint32_t (*)(void* parameter);

inline constexpr std::uint32_t kServiceWin32OwnProcess = 0x10;

inline constexpr std::uint32_t kServiceStopped = 1;
inline constexpr std::uint32_t kServiceStartPending = 2;
inline constexpr std::uint32_t kServiceStopPending = 3;
inline constexpr std::uint32_t kServiceRunning = 4;

inline constexpr std::uint32_t kServiceAcceptStop = 1;

inline constexpr std::uint32_t kServiceControlStop = 1;
inline constexpr std::uint32_t kServiceControlPause = 2;
inline constexpr std::uint32_t kServiceControlContinue = 3;
inline constexpr std::uint32_t kServiceControlInterrogate = 4;
inline constexpr std::uint32_t kServiceControlShutdown = 5;

// The exit code of a service that stopped on an error of its own, told by
// dwServiceSpecificExitCode.
inline constexpr std::uint32_t kErrorServiceSpecificError = 1066;
// What a dispatcher start returns when the process was not started by the service manager.
inline constexpr std::uint32_t kErrorFailedServiceControllerConnect = 1063;

inline constexpr char kServiceName[] = "morvanix";

}  // namespace morvanix
