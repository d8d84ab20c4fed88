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

void CloseListenSocket(socket_t sock) {
  ::closesocket(sock);
}

void CloseConnection(socket_t sock) {
  ::shutdown(sock, SD_BOTH);
  ::closesocket(sock);
}

AcceptedSocket AcceptConnection(socket_t listener) {
  AcceptedSocket accepted;
  // Sockets accepted this way are not inherited by child processes.
  accepted.sock = ::WSAAccept(listener, nullptr, nullptr, nullptr, 0);
  if (accepted.sock == INVALID_SOCKET) accepted.error = ::WSAGetLastError();
  return accepted;
}

AcceptFailure ClassifyAcceptError(int error) {
  switch (error) {
    case WSAEMFILE:
    case WSAENOBUFS:
      return AcceptFailure::kResources;
    case WSAENOTSOCK:
    case WSAEINVAL:
    case WSAEOPNOTSUPP:
    case WSAEFAULT:
    case WSANOTINITIALISED:
    case WSAENETDOWN:
      return AcceptFailure::kListenerLost;
    default:  // WSAECONNRESET, WSAEINTR, WSAEWOULDBLOCK, WSAEINPROGRESS, WSATRY_AGAIN, ...
      return AcceptFailure::kPassing;
  }
}

}  // namespace morvanix
