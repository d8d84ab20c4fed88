#pragma once

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

// Opens path for appending in text mode, hands it the whole line in one write and closes it
// again, so lines of different threads never mix and a deleted file is simply recreated.
bool AppendLogLine(const char* path, std::string_view line);

}  // namespace morvanix
