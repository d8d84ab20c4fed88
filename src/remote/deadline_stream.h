#pragma once

#include <httplib.h>

#include <chrono>
#include <functional>

namespace morvanix {

// Wraps a connection's stream whose own reads and writes each wait at most kSlice for the
// socket, and gives them their real bounds from inside the waiting thread: a read fails
// once the read deadline has passed, after readTimeout without a byte, or once `stopped`
// says so; a write likewise with its own deadline and writeTimeout (and `stopped` when
// stopWrites is set). Nothing from another
// thread can wake a wait on a Windows socket short of closing it, which would free its
// handle for reuse while the wait still holds it; a slice at a time, the waiting thread
// looks for itself.
class DeadlineStream final : public httplib::Stream {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kSlice{100};

  struct Limits {
    Clock::time_point readDeadline = Clock::time_point::max();
    Clock::time_point writeDeadline = Clock::time_point::max();
    Clock::duration readTimeout{};
    Clock::duration writeTimeout{};
    std::function<bool()> stopped;  // may be empty
    bool stopWrites = false;        // whether stopped ends writes as well as reads
  };

  DeadlineStream(httplib::Stream& inner, Limits limits);

  // One of the library's (seconds, microseconds) time-outs as a duration.
  static Clock::duration Timeout(time_t sec, time_t usec);

  bool is_readable() const override;
  bool is_writable() const override;
  ssize_t read(char* ptr, size_t size) override;
  ssize_t write(const char* ptr, size_t size) override;
  void get_remote_ip_and_port(std::string& ip, int& port) const override;
  void get_local_ip_and_port(std::string& ip, int& port) const override;
  socket_t socket() const override;

 private:
  httplib::Stream& inner_;
  Limits limits_;
};

// Runs callback on the library's stream over sock, set to wait one slice at a time and
// wrapped so that its reads and writes keep to limits; returns what callback returns.
bool ProcessSocketWithin(socket_t sock, const DeadlineStream::Limits& limits,
                         const std::function<bool(httplib::Stream&)>& callback);

}  // namespace morvanix
