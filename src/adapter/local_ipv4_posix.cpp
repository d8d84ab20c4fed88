#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include "adapter/local_ipv4.h"

namespace morvanix {

std::vector<std::uint32_t> LocalIpv4Addresses() {
  std::vector<std::uint32_t> found;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return found;
  for (const ifaddrs* a = list; a != nullptr; a = a->ifa_next) {
    if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET) continue;
    if ((a->ifa_flags & IFF_UP) == 0) continue;
    const auto* in = reinterpret_cast<const sockaddr_in*>(a->ifa_addr);
    found.push_back(ntohl(in->sin_addr.s_addr));
  }
  freeifaddrs(list);
  return found;
}

}  // namespace morvanix
