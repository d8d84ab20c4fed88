#pragma once

#include "base/wait_handle.h"

namespace morvanix::detail {

// The OS object behind a stop: made not ready, made ready once, never made not ready again
// (POSIX: an eventfd that is written and never read; Windows: a manual-reset event).
// kNoWaitHandle when the OS refused one.
WaitHandle CreateStopWake();
void SignalStopWake(WaitHandle wake);
void CloseStopWake(WaitHandle wake);

}  // namespace morvanix::detail
