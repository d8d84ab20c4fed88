#pragma once

#include "base/deadline.h"
#include "base/stop_token.h"
#include "base/wait_handle.h"

namespace morvanix {

enum class WaitOutcome {
  kReady,     // the handle is ready (POSIX: readable or writable as asked; Windows: signalled)
  kHangUp,    // POSIX: the descriptor reported a hang-up or an error (what it still holds
              // may be read)
  kTimedOut,  // the deadline passed first
  kStopped,   // the stop came first (also when it was there before the call)
  kFailed,    // the wait itself failed
};

// What a POSIX descriptor is waited for; Windows waits for its event whatever is asked.
enum class Readiness { kRead, kWrite };

// The one OS wait: returns when `handle` is ready, the deadline passes or the stop comes,
// whichever is first, and never at the end of a fixed slice. POSIX: poll() on the descriptor
// and the stop's descriptor. Windows: WaitForMultipleObjects on the event and the stop's event.
WaitOutcome WaitFor(WaitHandle handle, Readiness what, const Deadline& deadline,
                    const StopToken& stop);

// Waits for the deadline or the stop alone: true when the deadline passed, false at the stop.
bool WaitUntil(const Deadline& deadline, const StopToken& stop);

}  // namespace morvanix
