#pragma once

#include <string_view>

// Appends one time-stamped line to the event log named by the process-wide logPath; callable
// from any thread. Never fails its caller: a log that cannot be written costs nothing but the
// line, and each spell of failures is reported once through debug output.
void WriteLog(const char* message, const char* suffix);

namespace morvanix {

// Opens path for appending in text mode, hands it the whole line in one write and closes it
// again, so lines of different threads never mix and a deleted file is simply recreated.
bool AppendLogLine(const char* path, std::string_view line);

}  // namespace morvanix
