#pragma once

#include <ctime>
#include <string>

namespace morvanix {

// The local time in the fixed form of ctime without its line feed, e.g.
// "Mon Dec  7 05:13:44 2026".
std::string FormatLogTime(std::time_t when);

// One event log line: time text, ": ", message, suffix, line feed.
std::string FormatLogLine(std::time_t when, const char* message, const char* suffix);

}  // namespace morvanix
