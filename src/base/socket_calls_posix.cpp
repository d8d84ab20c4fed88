#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/socket_calls.h"

namespace morvanix {

WaitOutcome WaitForSocket(SocketHandle sock, Readiness what, const Deadline& deadline,
                          const StopToken& stop) {
  return WaitFor(sock, what, deadline, stop);
}

std::ptrdiff_t SendSome(SocketHandle sock, const char* data, std::size_t size) {
  return ::send(sock, data, size, MSG_NOSIGNAL);
}

std::ptrdiff_t ReceiveSome(SocketHandle sock, char* data, std::size_t size) {
  return ::recv(sock, data, size, 0);
}

bool LastCallWouldBlock() {
  return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}

// A reset that comes after the peer's end of stream finds the socket half closed, and
// Linux then reports it as EPIPE; one that comes alone is ECONNRESET. A receive still returns
// the end of stream (0) first when it came before the reset.
PeerEnd LastCallPeerEnd() {
  if (errno == EPIPE) return PeerEnd::kOrderly;
  if (errno == ECONNRESET) return PeerEnd::kReset;
  return PeerEnd::kNone;
}

IdleState LookAtIdleSocket(SocketHandle sock) {
  char byte = 0;
  const ssize_t got = ::recv(sock, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  if (got > 0) return IdleState::kUnasked;
  if (got == 0) return IdleState::kEnded;
  return LastCallWouldBlock() ? IdleState::kUsable : IdleState::kEnded;
}

bool SetNonBlocking(SocketHandle sock) {
  const int flags = ::fcntl(sock, F_GETFL);
  return flags >= 0 && ::fcntl(sock, F_SETFL, flags | O_NONBLOCK) == 0;
}

void SendWithoutDelay(SocketHandle sock) {
  const int on = 1;
  ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

void KeepAlive(SocketHandle sock) {
  const int on = 1;
  ::setsockopt(sock, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
}

int StartConnect(SocketHandle sock, const void* address, int length) {
  if (::connect(sock, static_cast<const sockaddr*>(address), static_cast<socklen_t>(length)) == 0) {
    return 0;
  }
  return errno == EINPROGRESS || errno == EINTR ? 1 : -1;
}

bool ConnectionMade(SocketHandle sock) {
  int error = 0;
  socklen_t size = sizeof error;
  if (::getsockopt(sock, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return false;
  if (error != 0) errno = error;
  return error == 0;
}

void CloseSocket(SocketHandle sock) {
  ::close(sock);
}

int LastSocketError() {
  return errno;
}

std::string SocketErrorText(int error) {
  return std::strerror(error);
}

int TimedOutError() {
  return ETIMEDOUT;
}

std::vector<SocketAddress> ResolveTcp(const std::string& host, int port, std::string& error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* list = nullptr;
  const int resolved = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list);
  std::vector<SocketAddress> addresses;
  if (resolved != 0) {
    error = ::gai_strerror(resolved);
    return addresses;
  }
  for (const addrinfo* a = list; a != nullptr; a = a->ai_next) {
    SocketAddress address;
    if (a->ai_addrlen > address.bytes.size()) continue;
    address.family = a->ai_family;
    address.length = static_cast<int>(a->ai_addrlen);
    std::memcpy(address.bytes.data(), a->ai_addr, a->ai_addrlen);
    char text[NI_MAXHOST] = "";
    ::getnameinfo(a->ai_addr, a->ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST);
    address.text = text;
    addresses.push_back(address);
  }
  ::freeaddrinfo(list);
  if (addresses.empty()) error = "no address";
  return addresses;
}

SocketHandle OpenStreamSocket(int family) {
  const int sock = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
  return sock < 0 ? kNoSocket : sock;
}

}  // namespace morvanix
