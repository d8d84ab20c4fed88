#include "remote/client_socket.h"

#include <algorithm>
#include <cstring>

#include "remote/remote_socket.h"

namespace morvanix {
namespace {

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
    if (WaitForSocket(sock, forWrite, left) == SocketWait::kFailed) return -1;
  }
}

struct AddressList {
  addrinfo* first = nullptr;
  ~AddressList() {
    if (first != nullptr) ::freeaddrinfo(first);
  }
};

}  // namespace

socket_t ConnectWithin(const std::string& host, int port, ClientClock::time_point deadline,
                       const std::function<bool()>& stopped) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_NUMERICSERV;
  AddressList addresses;
  if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &addresses.first) != 0) {
    return INVALID_SOCKET;
  }
  for (addrinfo* address = addresses.first; address != nullptr; address = address->ai_next) {
    socket_t sock = ::socket(address->ai_family, address->ai_socktype, address->ai_protocol);
    if (sock == INVALID_SOCKET) continue;
    int state = SetNonBlocking(sock)
                    ? StartConnect(sock, address->ai_addr, static_cast<int>(address->ai_addrlen))
                    : -1;
    while (state == 1) {
      if (ClientClock::now() >= deadline || (stopped && stopped())) {
        httplib::detail::close_socket(sock);
        return INVALID_SOCKET;
      }
      const SocketWait wait = WaitForSocket(sock, true, ClientSocketStream::kSlice);
      if (wait == SocketWait::kFailed) state = -1;
      if (wait == SocketWait::kReady) state = ConnectionMade(sock) ? 0 : -1;
    }
    if (state == 0) return sock;
    httplib::detail::close_socket(sock);
  }
  return INVALID_SOCKET;
}

bool ClientSocketStream::is_readable() const {
  return taken_ < buffered_ || WaitForSocket(sock_, false, kSlice) == SocketWait::kReady;
}

bool ClientSocketStream::is_writable() const {
  return WaitForSocket(sock_, true, kSlice) == SocketWait::kReady;
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
