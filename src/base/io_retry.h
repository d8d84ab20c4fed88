#pragma once

#include <cstddef>

#include "base/deadline.h"
#include "base/socket_calls.h"
#include "base/stop_token.h"
#include "base/wait.h"

namespace morvanix {

// What one try of a non-blocking call came to: finished with a result (bytes moved, an end of
// stream, a failure), or it would have had to wait until its handle is ready for `what`.
struct IoTry {
  static IoTry Done(std::ptrdiff_t result) { return {false, Readiness::kRead, result}; }
  static IoTry WaitsFor(Readiness what) { return {true, what, -1}; }

  bool waits;
  Readiness what;
  std::ptrdiff_t result;
};

// The one "try, wait, retry" loop of non-blocking I/O: tries the call; while it would have to
// wait, waits with `wait(what, deadline, stop)` (an OS wait: WaitFor, WaitForSocket) and tries
// again. A hang-up ends the wait as readiness does, so that the next try reports it. Returns
// the finished try's result, or -1 when the deadline passed, the stop came or the wait failed
// first. The first try is made whatever the deadline and the stop; a handle said ready may
// still refuse, so the bounds are looked at before every wait.
template <typename Try, typename Wait>
std::ptrdiff_t RetryWithin(const Deadline& deadline, const StopToken& stop, Try tryOnce,
                           Wait wait) {
  for (;;) {
    const IoTry tried = tryOnce();
    if (!tried.waits) return tried.result;
    if (deadline.Passed() || stop.StopRequested()) return -1;
    const WaitOutcome outcome = wait(tried.what, deadline, stop);
    if (outcome != WaitOutcome::kReady && outcome != WaitOutcome::kHangUp) return -1;
  }
}

// The same on a socket, waited for with WaitForSocket.
template <typename Try>
std::ptrdiff_t RetryOnSocket(SocketHandle sock, const Deadline& deadline, const StopToken& stop,
                             Try tryOnce) {
  return RetryWithin(deadline, stop, tryOnce,
                     [sock](Readiness what, const Deadline& by, const StopToken& until) {
                       return WaitForSocket(sock, what, by, until);
                     });
}

// A socket step that returns bytes moved (0 at the peer's end of stream) or -1, with
// LastCallWouldBlock telling a step that only had to wait for `what`.
template <typename Step>
std::ptrdiff_t MoveWithin(SocketHandle sock, Readiness what, const Deadline& deadline,
                          const StopToken& stop, Step step) {
  return RetryOnSocket(sock, deadline, stop, [&] {
    const std::ptrdiff_t moved = step();
    return moved < 0 && LastCallWouldBlock() ? IoTry::WaitsFor(what) : IoTry::Done(moved);
  });
}

}  // namespace morvanix
