#include <cstdint>

#include "base/descriptor_limit.h"

namespace morvanix {

// Sockets and files are kernel handles on Windows, bounded by memory rather than by a
// per-process count that could be reached first.
std::size_t RaiseDescriptorLimit() {
  return DescriptorLimit();
}

std::size_t DescriptorLimit() {
  return SIZE_MAX;
}

}  // namespace morvanix
