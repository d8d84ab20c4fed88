#include "remote/remote_socket.h"

namespace morvanix {

SocketWait WaitForSocket(socket_t sock, bool forWrite, std::chrono::milliseconds slice) {
  WSAPOLLFD wait{};
  wait.fd = sock;
  wait.events = forWrite ? POLLWRNORM : POLLRDNORM;
  const int ready = ::WSAPoll(&wait, 1, static_cast<INT>(slice.count()));
  if (ready == SOCKET_ERROR) return SocketWait::kFailed;
  if (ready == 0) return SocketWait::kTimedOut;
  return (wait.revents & POLLNVAL) != 0 ? SocketWait::kFailed : SocketWait::kReady;
}

bool SetNonBlocking(socket_t sock) {
  u_long on = 1;
  return ::ioctlsocket(sock, FIONBIO, &on) == 0;
}

int StartConnect(socket_t sock, const sockaddr* address, int length) {
  if (::connect(sock, address, length) == 0) return 0;
  return ::WSAGetLastError() == WSAEWOULDBLOCK ? 1 : -1;
}

bool ConnectionMade(socket_t sock) {
  int error = 0;
  int size = sizeof error;
  return ::getsockopt(sock, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) == 0 &&
         error == 0;
}

ssize_t SendSome(socket_t sock, const char* data, size_t size) {
  return ::send(sock, data, static_cast<int>(size), 0);
}

ssize_t ReceiveSome(socket_t sock, char* data, size_t size) {
  return ::recv(sock, data, static_cast<int>(size), 0);
}

void SendWithoutDelay(socket_t sock) {
  const int on = 1;
  ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

bool LastCallWouldBlock() {
  const int error = ::WSAGetLastError();
  return error == WSAEWOULDBLOCK || error == WSAEINTR;
}

}  // namespace morvanix
