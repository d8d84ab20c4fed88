#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "adapter/adapter_keepalive.h"

namespace morvanix {

void KeepAdapterConnectionAlive(SocketHandle sock) {
  KeepAlive(sock);
#ifdef TCP_KEEPIDLE
  const int idleSeconds = 5, intervalSeconds = 2, probes = 3;
  (void)setsockopt(sock, IPPROTO_TCP, TCP_KEEPIDLE, &idleSeconds, sizeof idleSeconds);
  (void)setsockopt(sock, IPPROTO_TCP, TCP_KEEPINTVL, &intervalSeconds, sizeof intervalSeconds);
  (void)setsockopt(sock, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
#endif
}

}  // namespace morvanix
