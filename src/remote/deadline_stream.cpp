#include "remote/deadline_stream.h"

#include <utility>

namespace morvanix {
namespace {

using Clock = DeadlineStream::Clock;

// Repeats one sliced step until it moves data, fails, or runs out of time. The inner stream
// answers -1 both for a slice that passed without the socket being ready and for an error;
// only the former takes its whole slice.
template <typename Step>
ssize_t Sliced(Step step, Clock::time_point deadline, Clock::duration timeout,
               const std::function<bool()>& stopped) {
  // One clock reading per step: the library reads a head one byte at a time.
  const auto started = Clock::now();
  auto sliceStarted = started;
  while (sliceStarted < deadline && !(stopped && stopped())) {
    const ssize_t moved = step();
    if (moved != -1) return moved;
    const auto now = Clock::now();
    if (now - sliceStarted < DeadlineStream::kSlice / 2 || now - started >= timeout) return -1;
    sliceStarted = now;
  }
  return -1;
}

}  // namespace

DeadlineStream::DeadlineStream(httplib::Stream& inner, Limits limits)
    : inner_(inner), limits_(std::move(limits)) {}

Clock::duration DeadlineStream::Timeout(time_t sec, time_t usec) {
  return std::chrono::seconds(sec) + std::chrono::microseconds(usec);
}

bool ProcessSocketWithin(socket_t sock, const DeadlineStream::Limits& limits,
                         const std::function<bool(httplib::Stream&)>& callback) {
  const auto slice =
      std::chrono::duration_cast<std::chrono::microseconds>(DeadlineStream::kSlice).count();
  return httplib::detail::process_client_socket(sock, 0, slice, 0, slice,
                                                [&](httplib::Stream& stream) {
                                                  DeadlineStream timed(stream, limits);
                                                  return callback(timed);
                                                });
}

bool DeadlineStream::is_readable() const {
  return inner_.is_readable();
}

bool DeadlineStream::is_writable() const {
  return inner_.is_writable();
}

ssize_t DeadlineStream::read(char* ptr, size_t size) {
  return Sliced([&] { return inner_.read(ptr, size); }, limits_.readDeadline, limits_.readTimeout,
                limits_.stopped);
}

ssize_t DeadlineStream::write(const char* ptr, size_t size) {
  // An answer under way is finished even when a stop comes; a post is not.
  static const std::function<bool()> kNever;
  return Sliced([&] { return inner_.write(ptr, size); }, limits_.writeDeadline,
                limits_.writeTimeout, limits_.stopWrites ? limits_.stopped : kNever);
}

void DeadlineStream::get_remote_ip_and_port(std::string& ip, int& port) const {
  inner_.get_remote_ip_and_port(ip, port);
}

void DeadlineStream::get_local_ip_and_port(std::string& ip, int& port) const {
  inner_.get_local_ip_and_port(ip, port);
}

socket_t DeadlineStream::socket() const {
  return inner_.socket();
}

}  // namespace morvanix
