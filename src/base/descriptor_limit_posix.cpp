#include <sys/resource.h>

#include <cstdint>

#include "base/descriptor_limit.h"

namespace morvanix {
namespace {

std::size_t AsSize(rlim_t value) {
  return value == RLIM_INFINITY ? SIZE_MAX : static_cast<std::size_t>(value);
}

}  // namespace

std::size_t RaiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return DescriptorLimit();
  if (limit.rlim_cur != limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    // An unlimited hard limit is not a value the kernel takes for descriptors.
    if (raised.rlim_cur == RLIM_INFINITY) raised.rlim_cur = 65536;
    if (raised.rlim_cur > limit.rlim_cur) ::setrlimit(RLIMIT_NOFILE, &raised);
  }
  return DescriptorLimit();
}

std::size_t DescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return SIZE_MAX;
  return AsSize(limit.rlim_cur);
}

}  // namespace morvanix
