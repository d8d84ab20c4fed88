#include <windows.h>

#include "base/wait.h"

namespace morvanix {

namespace {

// A stop whose event the OS refused is looked at this often: the one slice left.
constexpr long long kStopLookMs = 100;
// INFINITE is 0xFFFFFFFF; a longer deadline is waited for in turns of this.
constexpr long long kLongestWaitMs = 0x7FFFFFFF;

WaitOutcome WaitUntilSignalled(WaitHandle handle, const Deadline& deadline, const StopToken& stop) {
  const WaitHandle wake = stop.Handle();
  const bool sliced = wake == kNoWaitHandle && stop.StopPossible();
  for (;;) {
    if (stop.StopRequested()) return WaitOutcome::kStopped;
    HANDLE handles[2] = {};
    DWORD count = 0;
    if (handle != kNoWaitHandle) handles[count++] = handle;
    if (wake != kNoWaitHandle) handles[count++] = wake;
    long long ms = WaitMilliseconds(deadline, kLongestWaitMs);
    if (sliced && (ms < 0 || ms > kStopLookMs)) ms = kStopLookMs;
    const DWORD timeout = ms < 0 ? INFINITE : static_cast<DWORD>(ms);
    // With no handle and no stop event there is nothing to wait on but the deadline itself
    // (a token that can never stop, or a sliced stop whose event the OS refused).
    const DWORD result = count == 0 ? (Sleep(timeout), WAIT_TIMEOUT)
                                    : WaitForMultipleObjects(count, handles, FALSE, timeout);
    if (result == WAIT_FAILED) return WaitOutcome::kFailed;
    if (handle != kNoWaitHandle && result == WAIT_OBJECT_0) return WaitOutcome::kReady;
    if (stop.StopRequested()) return WaitOutcome::kStopped;
    if (deadline.Passed()) return WaitOutcome::kTimedOut;
  }
}

}  // namespace

WaitOutcome WaitFor(WaitHandle handle, Readiness, const Deadline& deadline, const StopToken& stop) {
  return WaitUntilSignalled(handle, deadline, stop);
}

bool WaitUntil(const Deadline& deadline, const StopToken& stop) {
  return WaitUntilSignalled(kNoWaitHandle, deadline, stop) == WaitOutcome::kTimedOut;
}

}  // namespace morvanix
