#pragma once

#include <httplib.h>

#include <array>
#include <chrono>
#include <functional>
#include <string>

namespace morvanix {

// The agent's own end of a post: a non-blocking TCP connection whose every wait, connecting
// included, lasts one slice at most, so that the whole post keeps to its deadline and ends
// soon after a stop, whatever the server does (never answers a connection, never reads, never
// replies).

using ClientClock = std::chrono::steady_clock;

// Connects to host:port, trying the resolved addresses in turn, until one connects, the
// deadline passes or stopped() says so; INVALID_SOCKET then. Name resolution itself is the
// system's and cannot be cut short.
socket_t ConnectWithin(const std::string& host, int port, ClientClock::time_point deadline,
                       const std::function<bool()>& stopped);

// A stream over a connected non-blocking socket. A read or write that cannot move data
// waits one slice for the socket and then gives -1 having taken that slice; an error gives
// -1 at once. Reads are buffered, since the library reads a reply head a byte at a time.
class ClientSocketStream final : public httplib::Stream {
 public:
  static constexpr std::chrono::milliseconds kSlice{100};

  explicit ClientSocketStream(socket_t sock) : sock_(sock) {}

  bool is_readable() const override;
  bool is_writable() const override;
  ssize_t read(char* ptr, size_t size) override;
  ssize_t write(const char* ptr, size_t size) override;
  void get_remote_ip_and_port(std::string& ip, int& port) const override;
  void get_local_ip_and_port(std::string& ip, int& port) const override;
  socket_t socket() const override { return sock_; }

 private:
  socket_t sock_;
  std::array<char, 4096> buffer_{};
  size_t buffered_ = 0;
  size_t taken_ = 0;
};

}  // namespace morvanix
