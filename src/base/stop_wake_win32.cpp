#include <windows.h>

#include "base/stop_wake.h"

namespace morvanix::detail {

WaitHandle CreateStopWake() {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  return event != nullptr ? event : kNoWaitHandle;
}

void SignalStopWake(WaitHandle wake) {
  if (wake != kNoWaitHandle) SetEvent(wake);
}

void CloseStopWake(WaitHandle wake) {
  if (wake != kNoWaitHandle) CloseHandle(wake);
}

}  // namespace morvanix::detail
