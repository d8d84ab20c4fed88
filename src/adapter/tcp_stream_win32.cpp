// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <windows.h>
// clang-format on

#include <string>

#include "adapter/tcp_stream.h"

namespace morvanix {

namespace {

// A vanished adapter is noticed within about 5 + 10 x 2 s of silence (Windows sends ten probes).
constexpr ULONG kKeepIdleMs = 5000;
constexpr ULONG kKeepIntervalMs = 2000;

// The socket library for the life of the process, started on the first connect.
bool SocketsStarted() {
  struct Library {
    bool started = false;
    Library() {
      WSADATA data;
      started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
    ~Library() {
      if (started) WSACleanup();
    }
  };
  static Library library;
  return library.started;
}

std::string ErrorText(int code) {
  char text[256] = "";
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
  std::string words(text, n);
  while (!words.empty() && (words.back() == '\n' || words.back() == '\r' || words.back() == '.' ||
                            words.back() == ' ')) {
    words.pop_back();
  }
  return words.empty() ? "error " + std::to_string(code) : words;
}

void TuneConnected(SOCKET s) {
  BOOL on = TRUE;
  (void)setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
  tcp_keepalive keep{1, kKeepIdleMs, kKeepIntervalMs};
  DWORD returned = 0;
  (void)WSAIoctl(s, SIO_KEEPALIVE_VALS, &keep, sizeof keep, nullptr, 0, &returned, nullptr,
                 nullptr);
}

bool IsWouldBlock(int e) {
  return e == WSAEWOULDBLOCK || e == WSAEINTR;
}

class Win32TcpStream final : public TcpStream {
 public:
  Win32TcpStream(SOCKET s, WSAEVENT event) : socket_(s), event_(event) {}
  ~Win32TcpStream() override {
    closesocket(socket_);
    WSACloseEvent(event_);
  }

  std::ptrdiff_t Send(const char* data, std::size_t n) override {
    const int sent = ::send(socket_, data, static_cast<int>(n), 0);
    if (sent != SOCKET_ERROR) return sent;
    return IsWouldBlock(WSAGetLastError()) ? 0 : -1;
  }

  std::ptrdiff_t Receive(char* buffer, std::size_t n) override {
    const int got = ::recv(socket_, buffer, static_cast<int>(n), 0);
    if (got > 0) return got;
    if (got == 0) return -1;  // the peer closed its end
    return IsWouldBlock(WSAGetLastError()) ? 0 : -1;
  }

  // Selecting again clears the record and records at once what already holds (data waiting,
  // room to send, a close), so no event is missed between the last call and the wait.
  WaitOutcome Wait(Readiness what, const Deadline& deadline, const StopToken& stop) override {
    WSAResetEvent(event_);
    const long mask = what == Readiness::kRead ? FD_READ | FD_CLOSE : FD_WRITE | FD_CLOSE;
    if (WSAEventSelect(socket_, event_, mask) != 0) return WaitOutcome::kFailed;
    return WaitFor(event_, what, deadline, stop);
  }

 private:
  SOCKET socket_;
  WSAEVENT event_;
};

// Connects one address; 0 or the error that ended it. The socket is non-blocking after.
int ConnectOne(SOCKET s, WSAEVENT event, const addrinfo* a, const Deadline& deadline,
               const StopToken& stop) {
  if (WSAEventSelect(s, event, FD_CONNECT) != 0) return WSAGetLastError();
  if (connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) == 0) return 0;
  const int started = WSAGetLastError();
  if (started != WSAEWOULDBLOCK) return started;
  switch (WaitFor(event, Readiness::kWrite, deadline, stop)) {
    case WaitOutcome::kReady:
    case WaitOutcome::kHangUp:
      break;
    case WaitOutcome::kTimedOut:
      return WSAETIMEDOUT;
    case WaitOutcome::kStopped:
      return WSAECANCELLED;
    case WaitOutcome::kFailed:
      return static_cast<int>(GetLastError());
  }
  WSANETWORKEVENTS events{};
  if (WSAEnumNetworkEvents(s, event, &events) != 0) return WSAGetLastError();
  return (events.lNetworkEvents & FD_CONNECT) != 0 ? events.iErrorCode[FD_CONNECT_BIT]
                                                   : WSAETIMEDOUT;
}

}  // namespace

std::unique_ptr<TcpStream> TcpStream::Connect(const std::string& host, int port,
                                              const Deadline& deadline, const StopToken& stop,
                                              std::string* error) {
  if (!SocketsStarted()) {
    if (error != nullptr) *error = "the socket library does not start";
    return nullptr;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* list = nullptr;
  const int resolved = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list);
  if (resolved != 0 || list == nullptr) {
    if (error != nullptr) *error = ErrorText(resolved);
    return nullptr;
  }
  int last = WSAHOST_NOT_FOUND;
  std::unique_ptr<TcpStream> stream;
  for (const addrinfo* a = list; a != nullptr && !stream; a = a->ai_next) {
    const SOCKET s = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (s == INVALID_SOCKET) {
      last = WSAGetLastError();
      continue;
    }
    const WSAEVENT event = WSACreateEvent();
    last = event == WSA_INVALID_EVENT ? WSAGetLastError() : ConnectOne(s, event, a, deadline, stop);
    if (last == 0) {
      TuneConnected(s);
      stream = std::make_unique<Win32TcpStream>(s, event);
    } else {
      closesocket(s);
      if (event != WSA_INVALID_EVENT) WSACloseEvent(event);
      if (last == WSAETIMEDOUT || last == WSAECANCELLED) break;
    }
  }
  freeaddrinfo(list);
  if (!stream && error != nullptr) *error = last == WSAECANCELLED ? "stopped" : ErrorText(last);
  return stream;
}

}  // namespace morvanix
