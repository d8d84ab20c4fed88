#pragma once

// A deliberately plain HTTP/1.1 client over a POSIX socket, so that tests see exactly the
// bytes the server sends: no headers added, nothing decompressed or reassembled.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

struct RawResponse {
  int status = 0;
  std::string head;  // status line and headers, up to the empty line
  std::string body;
  std::string raw;  // every byte of this response

  // The value of the first header with this exact name, or nullopt.
  std::optional<std::string> Header(std::string_view name) const {
    const std::string key = "\r\n" + std::string(name) + ": ";
    const std::size_t at = head.find(key);
    if (at == std::string::npos) return std::nullopt;
    const std::size_t start = at + key.size();
    return head.substr(start, head.find("\r\n", start) - start);
  }
};

class RawConnection {
 public:
  explicit RawConnection(int port, const char* address = "127.0.0.1") {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, address, &peer.sin_addr);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;
  ~RawConnection() {
    if (fd_ >= 0) ::close(fd_);
  }

  bool Connected() const { return fd_ >= 0; }
  int Descriptor() const { return fd_; }

  bool Send(std::string_view text) {
    while (!text.empty()) {
      const ssize_t sent = ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL);
      if (sent <= 0) return false;
      text.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
  }

  // Reads one response; the body is taken by Content-Length (none for HEAD). nullopt when
  // the connection closes or nothing whole arrives within the limit.
  std::optional<RawResponse> Read(bool head = false,
                                  std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::size_t headEnd;
    while ((headEnd = pending_.find("\r\n\r\n")) == std::string::npos) {
      if (!Fill(deadline)) return std::nullopt;
    }
    RawResponse response;
    response.head = pending_.substr(0, headEnd);
    response.status = std::atoi(response.head.c_str() + response.head.find(' ') + 1);
    std::size_t length = 0;
    if (auto declared = response.Header("Content-Length"); declared && !head) {
      length = std::strtoul(declared->c_str(), nullptr, 10);
    }
    while (pending_.size() < headEnd + 4 + length) {
      if (!Fill(deadline)) return std::nullopt;
    }
    response.body = pending_.substr(headEnd + 4, length);
    response.raw = pending_.substr(0, headEnd + 4 + length);
    pending_.erase(0, headEnd + 4 + length);
    return response;
  }

  // True when the server closes the connection within the limit.
  bool ClosedWithin(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (true) {
      const std::size_t before = pending_.size();
      if (!Fill(deadline)) return closed_;
      if (pending_.size() == before) return closed_;
    }
  }

 private:
  // Reads what is there; false on close, error or time-out.
  bool Fill(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd wait{fd_, POLLIN, 0};
    if (::poll(&wait, 1, static_cast<int>(left.count())) <= 0) return false;
    char buffer[4096];
    const ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
    if (got <= 0) {
      closed_ = true;
      return false;
    }
    pending_.append(buffer, static_cast<std::size_t>(got));
    return true;
  }

  int fd_ = -1;
  bool closed_ = false;
  std::string pending_;
};

// Binds and listens on 127.0.0.1:port (0: a free one) so that nobody else can; -1 when that
// fails. The caller closes the descriptor.
inline int OccupyLoopbackPort(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  int yes = 1;  // earlier tests leave connections to the port in TIME_WAIT
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, 4) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// The port a listening descriptor is bound to; 0 when it cannot be read.
inline int BoundPort(int fd) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return ntohs(address.sin_port);
}

// One request on a connection of its own.
inline std::optional<RawResponse> RawRequest(int port, const std::string& request,
                                             bool head = false) {
  RawConnection connection(port);
  if (!connection.Connected() || !connection.Send(request)) return std::nullopt;
  return connection.Read(head);
}

inline std::string GetRequest(const std::string& method, const std::string& target,
                              const std::string& extraHeaders = "") {
  return method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extraHeaders + "\r\n";
}
