#pragma once

#include <ctime>

namespace morvanix {

// Thread-safe conversion of a calendar time to local broken-down time; false when the
// platform cannot represent it.
bool LocalTime(std::time_t when, std::tm& out);

}  // namespace morvanix
