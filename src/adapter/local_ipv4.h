#pragma once

#include <cstdint>
#include <vector>

namespace morvanix {

// The IPv4 addresses of this computer's interfaces that are up, in host byte order
// (192.168.0.2 is 0xC0A80002). Reads only; sends nothing.
std::vector<std::uint32_t> LocalIpv4Addresses();

}  // namespace morvanix
