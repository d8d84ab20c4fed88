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

// The accept loop always waits in select() here, and a zero wait would spin. A stop closes the
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

bool WaitForConnection(socket_t listener) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(listener, &readable);
  timeval wait{kAcceptWaitMicroseconds / 1000000, kAcceptWaitMicroseconds % 1000000};
  // An error (a listener closed by a stop) counts as ready: the accept then tells.
  return ::select(0, &readable, nullptr, nullptr, &wait) != 0;
}

void InterruptListener(socket_t listener) {
  ::closesocket(listener);
}

// Only a close wakes a wait on a Windows socket from another thread.
const bool kInterruptClosesListener = true;

}  // namespace morvanix
