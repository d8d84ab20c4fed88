#include <time.h>

#include "base/local_time.h"

namespace morvanix {

bool LocalTime(std::time_t when, std::tm& out) {
  return ::localtime_r(&when, &out) != nullptr;
}

}  // namespace morvanix
