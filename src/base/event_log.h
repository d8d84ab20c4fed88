#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace morvanix {

// Appends one time-stamped line to the event log at the path set by SetEventLogPath; callable
// from any thread. Never fails its caller: a log that cannot be written costs nothing but the
// line, and each spell of failures is reported once through debug output.
void WriteLog(const char* message, const char* suffix);

// Sets the event log's full path; an empty path, or one longer than kLogPathCapacity - 1,
// turns the log off (false for the latter). Called once by the process entry before any
// other thread runs, and by tests between runs; never while lines are being written.
bool SetEventLogPath(std::string_view path);

// The path set last; empty while logging is off.
std::string EventLogPath();

// Past this size the log is moved aside as "<path>.1" and a new one is started, so that callers
// who make the agent log as fast as they can cannot fill the disk.
inline constexpr std::uintmax_t kEventLogRotateBytes = 16u * 1024u * 1024u;

// Opens path for appending in text mode, hands it the whole line in one write and closes it
// again, so lines of different threads never mix and a deleted file is simply recreated. A file
// of rotateAt bytes or more is first moved aside to "<path>.1" (replacing the older one); when
// path is a link, its target is moved beside itself and the link is left alone.
bool AppendLogLine(const char* path, std::string_view line,
                   std::uintmax_t rotateAt = kEventLogRotateBytes);

}  // namespace morvanix
