#include <winsock2.h>
#include <ws2tcpip.h>
// after winsock2.h
#include <windows.h>

#include <cstring>
#include <type_traits>

#include "base/socket_calls.h"

namespace morvanix {

static_assert(std::is_same_v<SocketHandle, SOCKET>);

namespace {

// The socket library started once for the process and never stopped: any caller may be the
// first, and the process's end releases it.
void StartSockets() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  (void)started;
}

// Whether the socket is ready now, without waiting: a wait for an event set up after the
// readiness came would miss it (a write readiness is signalled only once after a refusal).
bool ReadyNow(SOCKET sock, Readiness what) {
  fd_set ready;
  fd_set failed;
  FD_ZERO(&ready);
  FD_ZERO(&failed);
  FD_SET(sock, &ready);
  FD_SET(sock, &failed);
  timeval now{0, 0};
  const int count = what == Readiness::kRead ? select(0, &ready, nullptr, &failed, &now)
                                             : select(0, nullptr, &ready, &failed, &now);
  return count != 0;  // an error counts as ready: the next call reports it
}

}  // namespace

WaitOutcome WaitForSocket(SocketHandle sock, Readiness what, const Deadline& deadline,
                          const StopToken& stop) {
  if (stop.StopRequested()) return WaitOutcome::kStopped;
  WSAEVENT event = WSACreateEvent();
  if (event == WSA_INVALID_EVENT) return WaitOutcome::kFailed;
  const long events =
      what == Readiness::kRead ? FD_READ | FD_ACCEPT | FD_CLOSE : FD_WRITE | FD_CONNECT | FD_CLOSE;
  WaitOutcome outcome = WaitOutcome::kFailed;
  if (WSAEventSelect(sock, event, events) == 0) {
    outcome = ReadyNow(sock, what) ? WaitOutcome::kReady : WaitFor(event, what, deadline, stop);
    // Back to plain non-blocking calls: the association would otherwise outlive the event.
    WSAEventSelect(sock, nullptr, 0);
  }
  WSACloseEvent(event);
  return outcome;
}

std::ptrdiff_t SendSome(SocketHandle sock, const char* data, std::size_t size) {
  return ::send(sock, data, static_cast<int>(size), 0);
}

std::ptrdiff_t ReceiveSome(SocketHandle sock, char* data, std::size_t size) {
  return ::recv(sock, data, static_cast<int>(size), 0);
}

bool LastCallWouldBlock() {
  const int error = WSAGetLastError();
  return error == WSAEWOULDBLOCK || error == WSAEINTR;
}

// Only a receive that returned 0 tells the peer's orderly end here: a send on a connection
// the peer closed and then reset fails as a reset does (WSAECONNRESET), and Windows may report
// a reset that overtook the end of stream as a reset alone, so such ends count as resets.
// Wine (8) cannot tell them apart at all: a reset comes out as an end of stream, and so does
// its own abortive close.
PeerEnd LastCallPeerEnd() {
  switch (WSAGetLastError()) {
    case WSAECONNRESET:
    case WSAECONNABORTED:
    case WSAENETRESET:
      return PeerEnd::kReset;
    default:
      return PeerEnd::kNone;
  }
}

IdleState LookAtIdleSocket(SocketHandle sock) {
  if (!ReadyNow(sock, Readiness::kRead)) return IdleState::kUsable;
  char byte = 0;
  const int got = recv(sock, &byte, 1, MSG_PEEK);
  if (got > 0) return IdleState::kUnasked;
  return IdleState::kEnded;
}

bool SetNonBlocking(SocketHandle sock) {
  u_long on = 1;
  return ioctlsocket(sock, FIONBIO, &on) == 0;
}

void SendWithoutDelay(SocketHandle sock) {
  const int on = 1;
  setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

void KeepAlive(SocketHandle sock) {
  const int on = 1;
  setsockopt(sock, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on), sizeof on);
}

int StartConnect(SocketHandle sock, const void* address, int length) {
  if (connect(sock, static_cast<const sockaddr*>(address), length) == 0) return 0;
  return WSAGetLastError() == WSAEWOULDBLOCK ? 1 : -1;
}

bool ConnectionMade(SocketHandle sock) {
  int error = 0;
  int size = sizeof error;
  if (getsockopt(sock, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) != 0) {
    return false;
  }
  if (error != 0) WSASetLastError(error);
  return error == 0;
}

void CloseSocket(SocketHandle sock) {
  closesocket(sock);
}

int LastSocketError() {
  return WSAGetLastError();
}

std::string SocketErrorText(int error) {
  char* text = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(error), 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string said =
      length != 0 && text != nullptr ? std::string(text, length) : "error " + std::to_string(error);
  if (text != nullptr) LocalFree(text);
  while (!said.empty() && (said.back() == '\n' || said.back() == '\r' || said.back() == '.')) {
    said.pop_back();
  }
  return said;
}

int TimedOutError() {
  return WSAETIMEDOUT;
}

std::vector<SocketAddress> ResolveTcp(const std::string& host, int port, std::string& error) {
  StartSockets();
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* list = nullptr;
  const int resolved = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list);
  std::vector<SocketAddress> addresses;
  if (resolved != 0 || list == nullptr) {
    error = SocketErrorText(resolved);
    return addresses;
  }
  for (const addrinfo* a = list; a != nullptr; a = a->ai_next) {
    SocketAddress address;
    if (a->ai_addrlen > address.bytes.size()) continue;
    address.family = a->ai_family;
    address.length = static_cast<int>(a->ai_addrlen);
    std::memcpy(address.bytes.data(), a->ai_addr, a->ai_addrlen);
    char text[NI_MAXHOST] = "";
    getnameinfo(a->ai_addr, static_cast<socklen_t>(a->ai_addrlen), text, sizeof text, nullptr, 0,
                NI_NUMERICHOST);
    address.text = text;
    addresses.push_back(address);
  }
  freeaddrinfo(list);
  if (addresses.empty()) error = "no address";
  return addresses;
}

SocketHandle OpenStreamSocket(int family) {
  StartSockets();
  const SOCKET sock = socket(family, SOCK_STREAM, IPPROTO_TCP);
  if (sock == INVALID_SOCKET) return kNoSocket;
  if (!SetNonBlocking(sock)) {
    closesocket(sock);
    return kNoSocket;
  }
  return sock;
}

}  // namespace morvanix
