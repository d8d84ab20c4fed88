// clang-format off
#include <winsock2.h>
#include <mstcpip.h>
// clang-format on

#include "adapter/adapter_keepalive.h"

namespace morvanix {

void KeepAdapterConnectionAlive(SocketHandle sock) {
  // Windows sends ten probes at the interval before it gives up.
  tcp_keepalive values{1, 5000, 1000};
  DWORD returned = 0;
  (void)WSAIoctl(static_cast<SOCKET>(sock), SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0,
                 &returned, nullptr, nullptr);
}

}  // namespace morvanix
