#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "bridge/listen_socket.h"

namespace morvanix {

void MakeAddressExclusive(socket_t sock) {
  // SO_REUSEADDR alone still lets a restart bind while old connections linger in TIME_WAIT,
  // but never lets two listeners share the port; SO_REUSEPORT is deliberately not set.
  int yes = 1;
  ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

void CloseListenSocket(socket_t sock) {
  ::close(sock);
}

void CloseConnection(socket_t sock) {
  ::shutdown(sock, SHUT_RDWR);
  ::close(sock);
}

AcceptedSocket AcceptConnection(socket_t listener) {
  AcceptedSocket accepted;
  accepted.sock = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  if (accepted.sock == INVALID_SOCKET) accepted.error = errno;
  return accepted;
}

AcceptFailure ClassifyAcceptError(int error) {
  switch (error) {
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
      return AcceptFailure::kResources;
    case EBADF:
    case ENOTSOCK:
    case EINVAL:  // not listening any more, or shut down
    case EOPNOTSUPP:
    case EFAULT:
      return AcceptFailure::kListenerLost;
    default:  // ECONNABORTED, EINTR, EAGAIN, EPROTO, EPERM and network errors of one peer
      return AcceptFailure::kPassing;
  }
}

}  // namespace morvanix
