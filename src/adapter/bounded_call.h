#pragma once

#include <functional>

#include "base/deadline.h"
#include "base/stop_token.h"

namespace morvanix {

enum class BoundedOutcome { kDone, kTimedOut, kStopped, kNotStarted };

// Runs a call that takes neither a deadline nor our stop (a system call that waits for a
// device) on a thread of its own, and waits for it until the deadline or the stop. The call
// must own all it uses (capture by value): one that outlives the wait runs on to its own end
// and nobody waits for it. kNotStarted when no thread could be made; the call did not run.
BoundedOutcome RunBounded(std::function<void()> call, const Deadline& deadline,
                          const StopToken& stop);

}  // namespace morvanix
