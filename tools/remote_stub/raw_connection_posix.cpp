#include "raw_connection_posix.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace morvanix::stub {

namespace {

int PortOf(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET) {
    return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
  }
  if (address.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
  }
  return -1;
}

bool Matches(int fd, int localPort, int remotePort) {
  sockaddr_storage local{};
  sockaddr_storage peer{};
  socklen_t localLength = sizeof local;
  socklen_t peerLength = sizeof peer;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLength) != 0) return false;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0) return false;
  return PortOf(local) == localPort && PortOf(peer) == remotePort;
}

std::vector<int> OpenDescriptors() {
  std::vector<int> fds;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    while (const dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] >= '0' && entry->d_name[0] <= '9') {
        fds.push_back(std::atoi(entry->d_name));
      }
    }
    ::closedir(dir);
    return fds;
  }
  for (int fd = 0; fd < 4096; ++fd) fds.push_back(fd);
  return fds;
}

bool SendAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

bool AbortConnection(const httplib::Request& request, const std::string& bytes) {
  return AbortConnection(request, bytes, "", 0, "");
}

bool AbortConnection(const httplib::Request& request, const std::string& prefix,
                     const std::string& unit, std::size_t repeated, const std::string& suffix) {
  if (request.local_port <= 0 || request.remote_port <= 0) return false;
  for (int fd : OpenDescriptors()) {
    if (!Matches(fd, request.local_port, request.remote_port)) continue;
    // Whole units at a time in one buffer of about 64 KiB.
    std::string block;
    if (!unit.empty()) {
      while (block.size() < 64 * 1024) block += unit;
    }
    bool open = SendAll(fd, prefix.data(), prefix.size());
    for (std::size_t left = repeated; open && left > 0 && !block.empty();) {
      const std::size_t now = left < block.size() ? left : block.size();
      open = SendAll(fd, block.data(), now);
      left -= now;
    }
    if (open) SendAll(fd, suffix.data(), suffix.size());
    ::shutdown(fd, SHUT_RDWR);
    return true;
  }
  return false;
}

}  // namespace morvanix::stub
