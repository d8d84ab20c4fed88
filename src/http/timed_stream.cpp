#include "http/timed_stream.h"

#include <algorithm>
#include <cstring>

namespace morvanix {
namespace {

Deadline WithIdle(const Deadline& deadline, SteadyClock::duration idle) {
  return deadline.Sooner(Deadline::After(idle));
}

}  // namespace

Deadline IoLimits::ReadBy() const {
  return WithIdle(readDeadline, readIdle);
}

Deadline IoLimits::WriteBy() const {
  return WithIdle(writeDeadline, writeIdle);
}

const StopToken& IoLimits::WriteStop() const {
  static const StopToken kNever;
  return stopWrites ? stop : kNever;
}

std::ptrdiff_t PlainTransport::Read(char* data, std::size_t size, const Deadline& deadline,
                                    const StopToken& stop) {
  if (taken_ == buffered_) {
    const std::ptrdiff_t got = MoveWithin(sock_, Readiness::kRead, deadline, stop, [&] {
      return ReceiveSome(sock_, buffer_.data(), buffer_.size());
    });
    if (got == 0) NoteEnd(PeerEnd::kOrderly);
    if (got < 0) NoteEnd(LastCallPeerEnd());
    if (got <= 0) return got;
    buffered_ = static_cast<std::size_t>(got);
    taken_ = 0;
  }
  const std::size_t count = std::min(size, buffered_ - taken_);
  std::memcpy(data, buffer_.data() + taken_, count);
  taken_ += count;
  return static_cast<std::ptrdiff_t>(count);
}

std::ptrdiff_t PlainTransport::Write(const char* data, std::size_t size, const Deadline& deadline,
                                     const StopToken& stop) {
  // One send at most as large as a socket buffer takes at once: never a wait in the kernel.
  const std::size_t chunk = std::min<std::size_t>(size, 64 * 1024);
  const std::ptrdiff_t sent = MoveWithin(sock_, Readiness::kWrite, deadline, stop,
                                         [&] { return SendSome(sock_, data, chunk); });
  if (sent < 0) NoteEnd(LastCallPeerEnd());
  return sent;
}

ssize_t TimedStream::read(char* ptr, size_t size) {
  const std::ptrdiff_t got = transport_.Read(ptr, size, limits_.ReadBy(), limits_.stop);
  if (got > 0) received_ += static_cast<std::size_t>(got);
  return got;
}

ssize_t TimedStream::write(const char* ptr, size_t size) {
  return transport_.Write(ptr, size, limits_.WriteBy(), limits_.WriteStop());
}

void TimedStream::get_remote_ip_and_port(std::string& ip, int& port) const {
  ip.clear();
  port = 0;
}

void TimedStream::get_local_ip_and_port(std::string& ip, int& port) const {
  ip.clear();
  port = 0;
}

}  // namespace morvanix
