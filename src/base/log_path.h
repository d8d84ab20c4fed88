#pragma once

#include <climits>
#include <cstddef>
#include <span>
#include <string_view>

namespace morvanix {

// Room for the event log path, its NUL included: the platform's path limit.
#if defined(_WIN32)
inline constexpr std::size_t kLogPathCapacity = 260;  // MAX_PATH
#else
inline constexpr std::size_t kLogPathCapacity = PATH_MAX;
#endif

inline constexpr char kLogFileName[] = "/vd_service.log";

// Writes the executable's folder followed by "/vd_service.log" into logPath. The folder is
// everything before the last backslash or forward slash; a path with neither is kept whole.
// When the executable path is empty or the result does not fit, logPath is left empty (the
// event log is off) and false is returned; nothing is ever written beyond the buffer.
bool ComputeLogPath(std::string_view executablePath, std::span<char> logPath);

}  // namespace morvanix
