#include "remote/client_socket.h"

#include <algorithm>
#include <cstring>

#include "base/socket_calls.h"

namespace morvanix {
namespace {

WaitOutcome WaitSlice(socket_t sock, bool forWrite, std::chrono::milliseconds slice) {
  return WaitForSocket(sock, forWrite ? Readiness::kWrite : Readiness::kRead,
                       Deadline::After(slice), StopToken());
}

// Repeats op until it moves data or fails, waiting for the socket in between, for one slice
// in all: -1 then, after the slice.
template <typename Op>
ssize_t WithinSlice(socket_t sock, bool forWrite, Op op) {
  const auto end = ClientClock::now() + ClientSocketStream::kSlice;
  for (;;) {
    const ssize_t moved = op();
    if (moved >= 0) return moved;
    if (!LastCallWouldBlock()) return -1;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(end - ClientClock::now());
    if (left.count() <= 0) return -1;
    if (WaitSlice(sock, forWrite, left) == WaitOutcome::kFailed) return -1;
  }
}

}  // namespace

socket_t ConnectWithin(const std::string& host, int port, ClientClock::time_point deadline,
                       const std::function<bool()>& stopped) {
  std::string error;
  for (const SocketAddress& address : ResolveTcp(host, port, error)) {
    socket_t sock = OpenStreamSocket(address.family);
    if (sock == INVALID_SOCKET) continue;
    int state = StartConnect(sock, address.bytes.data(), address.length);
    while (state == 1) {
      if (ClientClock::now() >= deadline || (stopped && stopped())) {
        CloseSocket(sock);
        return INVALID_SOCKET;
      }
      const WaitOutcome wait = WaitSlice(sock, true, ClientSocketStream::kSlice);
      if (wait == WaitOutcome::kFailed) state = -1;
      if (wait == WaitOutcome::kReady || wait == WaitOutcome::kHangUp) {
        state = ConnectionMade(sock) ? 0 : -1;
      }
    }
    if (state == 0) return sock;
    CloseSocket(sock);
  }
  return INVALID_SOCKET;
}

bool ClientSocketStream::is_readable() const {
  return taken_ < buffered_ || WaitSlice(sock_, false, kSlice) != WaitOutcome::kTimedOut;
}

bool ClientSocketStream::is_writable() const {
  return WaitSlice(sock_, true, kSlice) != WaitOutcome::kTimedOut;
}

ssize_t ClientSocketStream::read(char* ptr, size_t size) {
  if (taken_ == buffered_) {
    const ssize_t got = WithinSlice(
        sock_, false, [&] { return ReceiveSome(sock_, buffer_.data(), buffer_.size()); });
    if (got <= 0) return got;
    buffered_ = static_cast<size_t>(got);
    taken_ = 0;
  }
  const size_t count = std::min(size, buffered_ - taken_);
  std::memcpy(ptr, buffer_.data() + taken_, count);
  taken_ += count;
  return static_cast<ssize_t>(count);
}

ssize_t ClientSocketStream::write(const char* ptr, size_t size) {
  // One send at most as large as a socket buffer takes at once: never a wait in the kernel.
  const size_t chunk = std::min<size_t>(size, 64 * 1024);
  return WithinSlice(sock_, true, [&] { return SendSome(sock_, ptr, chunk); });
}

void ClientSocketStream::get_remote_ip_and_port(std::string& ip, int& port) const {
  ip.clear();
  port = 0;
}

void ClientSocketStream::get_local_ip_and_port(std::string& ip, int& port) const {
  ip.clear();
  port = 0;
}

}  // namespace morvanix
