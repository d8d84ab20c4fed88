#include "tcp_adapter_server.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace {

constexpr int kBacklog = 4;
constexpr std::size_t kChunk = 512;

// Writes everything or gives up when the descriptor fails; the peers here are fast.
bool WriteAll(int fd, const char* data, std::size_t n, bool socket) {
  while (n > 0) {
    const ssize_t w = socket ? ::send(fd, data, n, MSG_NOSIGNAL) : ::write(fd, data, n);
    if (w > 0) {
      data += w;
      n -= static_cast<std::size_t>(w);
      continue;
    }
    if (w < 0 && (errno == EAGAIN || errno == EINTR)) {
      pollfd p{fd, POLLOUT, 0};
      if (poll(&p, 1, 1000) <= 0) return false;
      continue;
    }
    return false;
  }
  return true;
}

// A zero linger makes the close a reset, as a connection cut short is seen.
void ResetAndClose(int fd) {
  linger abort{1, 0};
  (void)setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  ::close(fd);
}

}  // namespace

bool ParseHostPort(const std::string& text, std::string& host, int& port) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  const std::string digits = text.substr(colon + 1);
  if (digits.empty() || digits.size() > 5 ||
      digits.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  const int value = std::stoi(digits);
  if (value < 1 || value > 65535) return false;
  host = text.substr(0, colon);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  port = value;
  return true;
}

TcpAdapterServer::TcpAdapterServer(std::string terminalPath, std::string host, int port)
    : terminalPath_(std::move(terminalPath)), host_(std::move(host)), port_(port) {}

TcpAdapterServer::~TcpAdapterServer() {
  Stop();
}

bool TcpAdapterServer::Start() {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV | AI_PASSIVE;
  addrinfo* list = nullptr;
  const int resolved = getaddrinfo(host_.c_str(), std::to_string(port_).c_str(), &hints, &list);
  if (resolved != 0) {
    failure_ = "cannot resolve " + host_ + ": " + gai_strerror(resolved);
    return false;
  }
  listener_ = socket(list->ai_family, list->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  int on = 1;
  if (listener_ >= 0) (void)setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  const bool listening = listener_ >= 0 && bind(listener_, list->ai_addr, list->ai_addrlen) == 0 &&
                         listen(listener_, kBacklog) == 0;
  freeaddrinfo(list);
  if (!listening) {
    failure_ =
        "cannot listen on " + host_ + ":" + std::to_string(port_) + ": " + std::strerror(errno);
    return false;
  }
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  if (getsockname(listener_, reinterpret_cast<sockaddr*>(&bound), &length) == 0) {
    port_ =
        ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6*>(&bound)->sin6_port
                                          : reinterpret_cast<const sockaddr_in*>(&bound)->sin_port);
  }
  terminal_ = ::open(terminalPath_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (terminal_ < 0 || pipe2(wakePipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
    failure_ = "cannot open " + terminalPath_ + ": " + std::strerror(errno);
    return false;
  }
  serving_ = true;
  worker_ = std::thread([this] { Serve(); });
  return true;
}

void TcpAdapterServer::Stop() {
  stopping_ = true;
  Wake();
  if (worker_.joinable()) worker_.join();
  CloseClient(false);
  for (int* fd : {&listener_, &terminal_, &wakePipe_[0], &wakePipe_[1]}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
}

void TcpAdapterServer::DropConnection() {
  dropAsked_ = true;
  Wake();
  // Returns once the reset is sent, so that what the caller does next meets it.
  if (serving_) dropAsked_.wait(true);
}

void TcpAdapterServer::Wake() {
  if (wakePipe_[1] >= 0) (void)::write(wakePipe_[1], "x", 1);
}

void TcpAdapterServer::CloseClient(bool reset) {
  if (client_ < 0) return;
  if (reset)
    ResetAndClose(client_);
  else
    ::close(client_);
  client_ = -1;
}

void TcpAdapterServer::ResetWaiting() {
  // The listener does not block, so this ends with the connections queued now.
  int waiting;
  while (listener_ >= 0 && (waiting = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0) {
    ++connections_;
    ResetAndClose(waiting);
  }
}

void TcpAdapterServer::Serve() {
  char buffer[kChunk];
  while (!stopping_) {
    pollfd fds[3] = {{wakePipe_[0], POLLIN, 0},
                     {terminal_, POLLIN, 0},
                     {client_ >= 0 ? client_ : listener_, POLLIN, 0}};
    if (fds[2].fd < 0) fds[2].events = 0;
    if (poll(fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if ((fds[0].revents & POLLIN) != 0) {
      while (::read(wakePipe_[0], buffer, sizeof buffer) > 0) {
      }
      if (dropAsked_) {
        CloseClient(true);
        ResetWaiting();
        dropAsked_ = false;
        dropAsked_.notify_all();
      }
      continue;
    }
    if (fds[1].revents != 0) {
      const ssize_t n = ::read(terminal_, buffer, sizeof buffer);
      if (n > 0) {
        if (client_ >= 0 && !WriteAll(client_, buffer, static_cast<std::size_t>(n), true)) {
          CloseClient(false);
        }
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        // The adapter went away: so does its network.
        CloseClient(true);
        ::close(listener_);
        listener_ = -1;
        ::close(terminal_);
        terminal_ = -1;
        break;
      }
    }
    if ((fds[2].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
    if (client_ < 0) {
      client_ = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client_ >= 0) {
        int on = 1;
        (void)setsockopt(client_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        ++connections_;
      }
      continue;
    }
    const ssize_t n = ::recv(client_, buffer, sizeof buffer, 0);
    if (n > 0) {
      (void)WriteAll(terminal_, buffer, static_cast<std::size_t>(n), false);
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
      CloseClient(false);
    }
  }
  // Nothing serves a drop any more: release whoever waits for one.
  serving_ = false;
  dropAsked_ = false;
  dropAsked_.notify_all();
}
