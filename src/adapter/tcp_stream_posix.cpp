#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "adapter/tcp_stream.h"

namespace morvanix {

namespace {

// A vanished adapter is noticed within about 5 + 3 x 2 s of silence.
constexpr int kKeepIdleSeconds = 5;
constexpr int kKeepIntervalSeconds = 2;
constexpr int kKeepCount = 3;

void TuneConnected(int fd) {
  int on = 1;
  (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  (void)setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
#ifdef TCP_KEEPIDLE
  int idle = kKeepIdleSeconds, interval = kKeepIntervalSeconds, count = kKeepCount;
  (void)setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  (void)setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  (void)setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
#endif
}

// Connects one address; 0 or the errno that ended it.
int ConnectOne(int fd, const addrinfo* a, const Deadline& deadline, const StopToken& stop) {
  if (connect(fd, a->ai_addr, a->ai_addrlen) == 0) return 0;
  if (errno != EINPROGRESS) return errno;
  switch (WaitFor(fd, Readiness::kWrite, deadline, stop)) {
    case WaitOutcome::kReady:
    case WaitOutcome::kHangUp:
      break;
    case WaitOutcome::kTimedOut:
      return ETIMEDOUT;
    case WaitOutcome::kStopped:
      return ECANCELED;
    case WaitOutcome::kFailed:
      return errno;
  }
  int error = 0;
  socklen_t length = sizeof error;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
  return error;
}

bool IsWouldBlock(int e) {
  return e == EAGAIN || e == EWOULDBLOCK || e == EINTR;
}

class PosixTcpStream final : public TcpStream {
 public:
  explicit PosixTcpStream(int fd) : fd_(fd) {}
  ~PosixTcpStream() override { ::close(fd_); }

  std::ptrdiff_t Send(const char* data, std::size_t n) override {
    const ssize_t sent = ::send(fd_, data, n, MSG_NOSIGNAL);
    if (sent >= 0) return sent;
    return IsWouldBlock(errno) ? 0 : -1;
  }

  std::ptrdiff_t Receive(char* buffer, std::size_t n) override {
    const ssize_t got = ::recv(fd_, buffer, n, 0);
    if (got > 0) return got;
    if (got == 0) return -1;  // the peer closed its end
    return IsWouldBlock(errno) ? 0 : -1;
  }

  WaitOutcome Wait(Readiness what, const Deadline& deadline, const StopToken& stop) override {
    return WaitFor(fd_, what, deadline, stop);
  }

 private:
  int fd_;
};

}  // namespace

std::unique_ptr<TcpStream> TcpStream::Connect(const std::string& host, int port,
                                              const Deadline& deadline, const StopToken& stop,
                                              std::string* error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* list = nullptr;
  const int resolved = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list);
  if (resolved != 0) {
    if (error != nullptr) *error = gai_strerror(resolved);
    return nullptr;
  }
  int last = ENOENT;
  std::unique_ptr<TcpStream> stream;
  for (const addrinfo* a = list; a != nullptr && !stream; a = a->ai_next) {
    const int fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      last = errno;
      continue;
    }
    last = ConnectOne(fd, a, deadline, stop);
    if (last == 0) {
      TuneConnected(fd);
      stream = std::make_unique<PosixTcpStream>(fd);
    } else {
      ::close(fd);
      if (last == ETIMEDOUT || last == ECANCELED) break;  // the bound is spent for every address
    }
  }
  freeaddrinfo(list);
  if (!stream && error != nullptr) {
    *error = last == ECANCELED ? "stopped" : std::strerror(last);
  }
  return stream;
}

}  // namespace morvanix
