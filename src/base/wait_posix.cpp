#include <poll.h>

#include <cerrno>
#include <climits>

#include "base/wait.h"

namespace morvanix {

namespace {

// A stop whose OS object could not be made is looked at this often: the one slice left,
// and only on a machine out of descriptors.
constexpr long long kStopLookMs = 100;

WaitOutcome PollUntil(WaitHandle handle, short events, const Deadline& deadline,
                      const StopToken& stop) {
  const WaitHandle wake = stop.Handle();
  // A stop whose OS object the OS refused is looked at in slices.
  const bool sliced = wake == kNoWaitHandle && stop.StopPossible();
  for (;;) {
    if (stop.StopRequested()) return WaitOutcome::kStopped;
    pollfd fds[2] = {};
    nfds_t count = 0;
    if (handle != kNoWaitHandle) fds[count++] = {handle, events, 0};
    if (wake != kNoWaitHandle) fds[count++] = {wake, POLLIN, 0};
    long long ms = WaitMilliseconds(deadline, INT_MAX);
    if (sliced && (ms < 0 || ms > kStopLookMs)) ms = kStopLookMs;
    // With no descriptor and no stop's descriptor, poll waits for the deadline alone: nothing
    // else can end it (a token that can never stop, or a sliced stop the OS gave no object).
    const int ready = poll(fds, count, static_cast<int>(ms));
    if (ready < 0) {
      if (errno == EINTR) continue;
      return WaitOutcome::kFailed;
    }
    if (handle != kNoWaitHandle) {
      // A hang-up is told as such, also when it comes with bytes still to read: a terminal
      // that hung up reports itself readable as well, with nothing to read.
      if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return WaitOutcome::kHangUp;
      if ((fds[0].revents & events) != 0) return WaitOutcome::kReady;
    }
    if (stop.StopRequested()) return WaitOutcome::kStopped;
    if (deadline.Passed()) return WaitOutcome::kTimedOut;
  }
}

}  // namespace

WaitOutcome WaitFor(WaitHandle handle, Readiness what, const Deadline& deadline,
                    const StopToken& stop) {
  return PollUntil(handle, what == Readiness::kRead ? POLLIN : POLLOUT, deadline, stop);
}

bool WaitUntil(const Deadline& deadline, const StopToken& stop) {
  return PollUntil(kNoWaitHandle, 0, deadline, stop) == WaitOutcome::kTimedOut;
}

}  // namespace morvanix
