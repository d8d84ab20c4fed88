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

}  // namespace

bool AbortConnection(const httplib::Request& request, const std::string& bytes) {
  if (request.local_port <= 0 || request.remote_port <= 0) return false;
  for (int fd : OpenDescriptors()) {
    if (!Matches(fd, request.local_port, request.remote_port)) continue;
    std::size_t sent = 0;
    while (sent < bytes.size()) {
      const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<std::size_t>(n);
    }
    ::shutdown(fd, SHUT_RDWR);
    return true;
  }
  return false;
}

}  // namespace morvanix::stub
