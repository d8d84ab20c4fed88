// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>
// clang-format on

#include <vector>

#include "adapter/local_ipv4.h"

namespace morvanix {

std::vector<std::uint32_t> LocalIpv4Addresses() {
  std::vector<std::uint32_t> found;
  ULONG size = 16 * 1024;
  std::vector<unsigned char> buffer;
  ULONG result = ERROR_BUFFER_OVERFLOW;
  // The list may grow between the two calls; a few tries are enough.
  for (int attempt = 0; attempt < 3 && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
    buffer.resize(size);
    result = GetAdaptersAddresses(
        AF_INET, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER,
        nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
  }
  if (result != NO_ERROR) return found;
  for (auto* adapter = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); adapter != nullptr;
       adapter = adapter->Next) {
    if (adapter->OperStatus != IfOperStatusUp) continue;
    for (auto* u = adapter->FirstUnicastAddress; u != nullptr; u = u->Next) {
      const sockaddr* address = u->Address.lpSockaddr;
      if (address == nullptr || address->sa_family != AF_INET) continue;
      const auto* in = reinterpret_cast<const sockaddr_in*>(address);
      found.push_back(ntohl(in->sin_addr.s_addr));
    }
  }
  return found;
}

}  // namespace morvanix
