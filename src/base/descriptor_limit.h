#pragma once

#include <cstddef>

namespace morvanix {

// Raises the soft limit on open descriptors to the hard one, so that the connection cap, not
// the limit a service manager happened to start the process with, bounds what is served.
// Returns the soft limit in force afterwards. Called once at start, before any thread runs.
std::size_t RaiseDescriptorLimit();

// The soft limit on open descriptors; SIZE_MAX where the platform sets none that matters.
std::size_t DescriptorLimit();

}  // namespace morvanix
