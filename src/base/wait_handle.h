#pragma once

namespace morvanix {

// What an OS wait waits on: a descriptor on POSIX, a HANDLE (an event) on Windows.
#ifdef _WIN32
using WaitHandle = void*;
inline const WaitHandle kNoWaitHandle = nullptr;
#else
using WaitHandle = int;
inline constexpr WaitHandle kNoWaitHandle = -1;
#endif

}  // namespace morvanix
