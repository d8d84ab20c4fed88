#include "bridge/request_bound_server.h"

#include <atomic>
#include <string>

#include "bridge/listen_socket.h"

namespace morvanix {
namespace {

using Clock = std::chrono::steady_clock;

// A read waits in slices this long, and between them looks at the request's deadline and
// for a stop. Nothing from another thread can wake a read blocked on a Windows socket short
// of closing it, which would free its handle for reuse while the read still holds it.
constexpr std::chrono::milliseconds kReadSlice{100};

// The connection's stream (whose own reads wait one slice), with every read of a request
// held to the request's deadline, to the read time-out, and to the server still running.
class DeadlineStream final : public httplib::Stream {
 public:
  DeadlineStream(httplib::Stream& inner, Clock::time_point deadline, Clock::duration readTimeout,
                 const std::atomic<socket_t>& listening)
      : inner_(inner), deadline_(deadline), readTimeout_(readTimeout), listening_(listening) {}

  bool is_readable() const override { return inner_.is_readable(); }
  bool is_writable() const override { return inner_.is_writable(); }

  ssize_t read(char* ptr, size_t size) override {
    const auto started = Clock::now();
    while (listening_ != INVALID_SOCKET && Clock::now() < deadline_) {
      const auto sliceStarted = Clock::now();
      const ssize_t got = inner_.read(ptr, size);
      if (got != -1) return got;  // data, or 0 at the end of the stream
      const auto now = Clock::now();
      // Only a wait that ran its whole slice is worth another; anything sooner was an error.
      if (now - sliceStarted < kReadSlice / 2 || now - started >= readTimeout_) return -1;
    }
    return -1;
  }

  ssize_t write(const char* ptr, size_t size) override { return inner_.write(ptr, size); }

  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    inner_.get_remote_ip_and_port(ip, port);
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    inner_.get_local_ip_and_port(ip, port);
  }
  socket_t socket() const override { return inner_.socket(); }

 private:
  httplib::Stream& inner_;
  Clock::time_point deadline_;
  Clock::duration readTimeout_;
  const std::atomic<socket_t>& listening_;
};

}  // namespace

RequestBoundServer::RequestBoundServer(std::chrono::milliseconds requestTime)
    : requestTime_(requestTime) {}

bool RequestBoundServer::process_and_close_socket(socket_t sock) {
  const auto readTimeout =
      std::chrono::seconds(read_timeout_sec_) + std::chrono::microseconds(read_timeout_usec_);
  const auto slice = std::chrono::duration_cast<std::chrono::microseconds>(kReadSlice).count();
  bool served = false;
  // A stop closes the listening socket; no further request is read after that.
  for (std::size_t left = keep_alive_max_count_; left > 0 && svr_sock_ != INVALID_SOCKET; --left) {
    const auto deadline = Clock::now() + requestTime_;
    bool closeAfter = false;
    // The library's stream over an accepted socket; "client" in the name is only where the
    // library first used it.
    served = httplib::detail::process_client_socket(
        sock, 0, slice, write_timeout_sec_, write_timeout_usec_, [&](httplib::Stream& stream) {
          DeadlineStream timed(stream, deadline, readTimeout, svr_sock_);
          std::string remoteAddress;
          std::string localAddress;
          int remotePort = 0;
          int localPort = 0;
          stream.get_remote_ip_and_port(remoteAddress, remotePort);
          stream.get_local_ip_and_port(localAddress, localPort);
          return process_request(timed, remoteAddress, remotePort, localAddress, localPort,
                                 left == 1, closeAfter, nullptr);
        });
    if (!served || closeAfter) break;
  }
  CloseConnection(sock);
  return served;
}

}  // namespace morvanix
