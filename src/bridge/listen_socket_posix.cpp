#include <sys/socket.h>
#include <unistd.h>

#include "bridge/listen_socket.h"

namespace morvanix {

void MakeAddressExclusive(socket_t sock) {
  // SO_REUSEADDR alone still lets a restart bind while old connections linger in TIME_WAIT,
  // but never lets two listeners share the port; SO_REUSEPORT is deliberately not set.
  int yes = 1;
  ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

// A blocked accept returns as soon as the listening socket is shut down.
const long kAcceptWaitMicroseconds = 0;

void CloseListenSocket(socket_t sock) {
  ::close(sock);
}

void CloseConnection(socket_t sock) {
  ::shutdown(sock, SHUT_RDWR);
  ::close(sock);
}

}  // namespace morvanix
