#include "bridge/request_bound_server.h"

#include <string>

#include "bridge/listen_socket.h"
#include "remote/deadline_stream.h"

namespace morvanix {

RequestBoundServer::RequestBoundServer(std::chrono::milliseconds requestTime)
    : requestTime_(requestTime) {}

bool RequestBoundServer::process_and_close_socket(socket_t sock) {
  const auto slice =
      std::chrono::duration_cast<std::chrono::microseconds>(DeadlineStream::kSlice).count();
  DeadlineStream::Limits limits;
  limits.readTimeout =
      std::chrono::seconds(read_timeout_sec_) + std::chrono::microseconds(read_timeout_usec_);
  limits.writeTimeout =
      std::chrono::seconds(write_timeout_sec_) + std::chrono::microseconds(write_timeout_usec_);
  // A stop closes the listening socket: a connection waiting for a request notices within a
  // slice, and no further request is read.
  limits.stopped = [this] { return svr_sock_ == INVALID_SOCKET; };
  bool served = false;
  for (std::size_t left = keep_alive_max_count_; left > 0 && !limits.stopped(); --left) {
    limits.readDeadline = DeadlineStream::Clock::now() + requestTime_;
    bool closeAfter = false;
    // The library's stream over an accepted socket; "client" in the name is only where the
    // library first used it.
    served = httplib::detail::process_client_socket(
        sock, 0, slice, 0, slice, [&](httplib::Stream& stream) {
          DeadlineStream timed(stream, limits);
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
