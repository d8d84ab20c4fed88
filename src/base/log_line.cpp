#include "base/log_line.h"

#include <cstdio>

#include "base/local_time.h"

namespace morvanix {

std::string FormatLogTime(std::time_t when) {
  static constexpr const char* kWeekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::tm local{};
  if (!LocalTime(when, local) || local.tm_wday < 0 || local.tm_wday > 6 || local.tm_mon < 0 ||
      local.tm_mon > 11) {
    return "??? ??? ?? ??:??:?? ????";
  }
  // The layout of asctime, written out because its own buffer is shared between threads and
  // some C libraries lack a space-padded day directive for strftime.
  char text[64];
  std::snprintf(text, sizeof text, "%.3s %.3s%3d %.2d:%.2d:%.2d %d", kWeekdays[local.tm_wday],
                kMonths[local.tm_mon], local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                local.tm_year + 1900);
  return text;
}

std::string FormatLogLine(std::time_t when, const char* message, const char* suffix) {
  std::string line = FormatLogTime(when);
  line += ": ";
  line += message;
  line += suffix;
  line += '\n';
  return line;
}

}  // namespace morvanix
