#include "bridge/request_bound_server.h"

#include <string>

#include "bridge/listen_socket.h"

namespace morvanix {
namespace {

// The connection's stream, with every read held to its request's deadline.
class DeadlineStream final : public httplib::Stream {
 public:
  DeadlineStream(httplib::Stream& inner, RequestDeadlines& deadlines, socket_t sock)
      : inner_(inner), deadlines_(deadlines), sock_(sock) {}

  bool is_readable() const override { return inner_.is_readable(); }
  bool is_writable() const override { return inner_.is_writable(); }

  ssize_t read(char* ptr, size_t size) override {
    if (!deadlines_.BeginRead(sock_)) return -1;
    const ssize_t got = inner_.read(ptr, size);
    deadlines_.EndRead(sock_);
    return got;
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
  RequestDeadlines& deadlines_;
  socket_t sock_;
};

}  // namespace

RequestBoundServer::RequestBoundServer(std::chrono::milliseconds requestTime)
    : requestTime_(requestTime), deadlines_(StopReading) {}

void RequestBoundServer::ExpireWaitingRequests() {
  deadlines_.ExpireAll();
}

bool RequestBoundServer::process_and_close_socket(socket_t sock) {
  bool served = false;
  for (std::size_t left = keep_alive_max_count_; left > 0; --left) {
    deadlines_.Start(sock, RequestDeadlines::Clock::now() + requestTime_);
    // A stop expires the requests it finds; one that starts after the stop ends here.
    if (svr_sock_ == INVALID_SOCKET) {
      deadlines_.Finish(sock);
      break;
    }
    bool closeAfter = false;
    // The library's stream over an accepted socket; the "client" in the name is only where
    // the library first used it.
    served = httplib::detail::process_client_socket(
        sock, read_timeout_sec_, read_timeout_usec_, write_timeout_sec_, write_timeout_usec_,
        [&](httplib::Stream& stream) {
          DeadlineStream timed(stream, deadlines_, sock);
          std::string remoteAddress;
          std::string localAddress;
          int remotePort = 0;
          int localPort = 0;
          stream.get_remote_ip_and_port(remoteAddress, remotePort);
          stream.get_local_ip_and_port(localAddress, localPort);
          return process_request(timed, remoteAddress, remotePort, localAddress, localPort,
                                 left == 1, closeAfter, nullptr);
        });
    deadlines_.Finish(sock);
    if (!served || closeAfter) break;
  }
  CloseConnection(sock);
  return served;
}

}  // namespace morvanix
