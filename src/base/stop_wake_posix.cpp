#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

#include "base/stop_wake.h"

namespace morvanix::detail {

WaitHandle CreateStopWake() {
  const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  return fd >= 0 ? fd : kNoWaitHandle;
}

void SignalStopWake(WaitHandle wake) {
  if (wake == kNoWaitHandle) return;
  const std::uint64_t one = 1;
  (void)!write(wake, &one, sizeof one);
}

void CloseStopWake(WaitHandle wake) {
  if (wake != kNoWaitHandle) close(wake);
}

}  // namespace morvanix::detail
