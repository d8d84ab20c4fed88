#pragma once

#include <httplib.h>

#include <array>
#include <chrono>
#include <cstddef>

#include "base/deadline.h"
#include "base/io_retry.h"
#include "base/socket_calls.h"
#include "base/stop_token.h"

namespace morvanix {

// The bounds of one exchange on a connection. A read ends once its deadline has passed,
// after `readIdle` without a byte, or at the stop; a write likewise with its own deadline and
// idle bound, and the stop only when stopWrites is set (an answer under way is finished even
// when a stop comes; a post is not). Each wait is one OS wait on the socket and the stop.
struct IoLimits {
  Deadline readDeadline;
  Deadline writeDeadline;
  SteadyClock::duration readIdle = SteadyClock::duration::max();
  SteadyClock::duration writeIdle = SteadyClock::duration::max();
  StopToken stop;
  bool stopWrites = false;

  Deadline ReadBy() const;
  Deadline WriteBy() const;
  const StopToken& WriteStop() const;
};

// Where the bytes of a connection go: the socket itself or a TLS session over it. Read and
// Write move at least one byte, or give 0 at the peer's end of stream (reads), or -1 on an
// error, at the deadline or at the stop.
class ByteTransport {
 public:
  virtual ~ByteTransport() = default;
  virtual std::ptrdiff_t Read(char* data, std::size_t size, const Deadline& deadline,
                              const StopToken& stop) = 0;
  virtual std::ptrdiff_t Write(const char* data, std::size_t size, const Deadline& deadline,
                               const StopToken& stop) = 0;
  virtual SocketHandle Socket() const = 0;

  // How the peer ended the connection, as the first read or write that met its end saw it;
  // kNone while it has not (a time-out or a stop is no end of the peer's).
  PeerEnd Ended() const { return ended_; }

 protected:
  void NoteEnd(PeerEnd end) {
    if (ended_ == PeerEnd::kNone) ended_ = end;
  }

 private:
  PeerEnd ended_ = PeerEnd::kNone;
};

// A connected non-blocking socket as a transport. Reads are buffered, since the library reads
// a head a byte at a time.
class PlainTransport final : public ByteTransport {
 public:
  explicit PlainTransport(SocketHandle sock) : sock_(sock) {}

  std::ptrdiff_t Read(char* data, std::size_t size, const Deadline& deadline,
                      const StopToken& stop) override;
  std::ptrdiff_t Write(const char* data, std::size_t size, const Deadline& deadline,
                       const StopToken& stop) override;
  SocketHandle Socket() const override { return sock_; }
  // Bytes received and not yet read.
  bool HasBuffered() const { return taken_ < buffered_; }

 private:
  SocketHandle sock_;
  std::array<char, 4096> buffer_{};
  std::size_t buffered_ = 0;
  std::size_t taken_ = 0;
};

// The library's stream over a transport, every read and write kept to the limits.
class TimedStream final : public httplib::Stream {
 public:
  TimedStream(ByteTransport& transport, const IoLimits& limits)
      : transport_(transport), limits_(limits) {}

  // Readiness is found out by the reads and writes themselves, which wait as they must.
  bool is_readable() const override { return true; }
  bool is_writable() const override { return true; }
  ssize_t read(char* ptr, size_t size) override;
  ssize_t write(const char* ptr, size_t size) override;
  void get_remote_ip_and_port(std::string& ip, int& port) const override;
  void get_local_ip_and_port(std::string& ip, int& port) const override;
  socket_t socket() const override { return transport_.Socket(); }

  // Bytes read through this stream so far.
  std::size_t Received() const { return received_; }

 private:
  ByteTransport& transport_;
  const IoLimits& limits_;
  std::size_t received_ = 0;
};

}  // namespace morvanix
