#include <winsock2.h>

#include "bridge/listen_socket.h"

namespace morvanix {

void MakeAddressExclusive(socket_t sock) {
  // SO_REUSEADDR on Windows would let another socket take the port over; exclusive use
  // makes a second bind fail instead.
  BOOL yes = TRUE;
  ::setsockopt(sock, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&yes),
               sizeof yes);
}

// The library always waits in select() here, and a zero wait would spin. A stop closes the
// socket, which ends the wait at once; the interval is only a fallback should a close ever
// not wake it, so the idle loop wakes once a second.
const long kAcceptWaitMicroseconds = 1000000;

void CloseListenSocket(socket_t sock) {
  ::closesocket(sock);
}

void CloseConnection(socket_t sock) {
  ::shutdown(sock, SD_BOTH);
  ::closesocket(sock);
}

}  // namespace morvanix
