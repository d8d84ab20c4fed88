#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include "remote/remote_socket.h"

namespace morvanix {

SocketWait WaitForSocket(socket_t sock, bool forWrite, std::chrono::milliseconds slice) {
  pollfd wait{sock, static_cast<short>(forWrite ? POLLOUT : POLLIN), 0};
  const int ready = ::poll(&wait, 1, static_cast<int>(slice.count()));
  if (ready < 0) return errno == EINTR ? SocketWait::kTimedOut : SocketWait::kFailed;
  if (ready == 0) return SocketWait::kTimedOut;
  return (wait.revents & POLLNVAL) != 0 ? SocketWait::kFailed : SocketWait::kReady;
}

bool SetNonBlocking(socket_t sock) {
  const int flags = ::fcntl(sock, F_GETFL);
  return flags >= 0 && ::fcntl(sock, F_SETFL, flags | O_NONBLOCK) == 0;
}

int StartConnect(socket_t sock, const sockaddr* address, int length) {
  if (::connect(sock, address, static_cast<socklen_t>(length)) == 0) return 0;
  return errno == EINPROGRESS || errno == EINTR ? 1 : -1;
}

bool ConnectionMade(socket_t sock) {
  int error = 0;
  socklen_t size = sizeof error;
  return ::getsockopt(sock, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
}

ssize_t SendSome(socket_t sock, const char* data, size_t size) {
  return ::send(sock, data, size, MSG_NOSIGNAL);
}

ssize_t ReceiveSome(socket_t sock, char* data, size_t size) {
  return ::recv(sock, data, size, 0);
}

void SendWithoutDelay(socket_t sock) {
  const int on = 1;
  ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

bool LastCallWouldBlock() {
  return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}

}  // namespace morvanix
