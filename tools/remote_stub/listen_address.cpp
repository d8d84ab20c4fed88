#include "listen_address.h"

#include <arpa/inet.h>

#include <cstdint>

namespace morvanix::stub {

bool ListenAddressAllowed(const std::string& host, bool allowTestNet) {
  if (host == "localhost" || host == "::1") return true;
  in_addr address{};
  if (::inet_pton(AF_INET, host.c_str(), &address) != 1) return false;
  const std::uint32_t value = ntohl(address.s_addr);
  if ((value >> 24) == 127) return true;
  return allowTestNet && (value >> 8) == 0xCB0071;  // 203.0.113.x
}

}  // namespace morvanix::stub
