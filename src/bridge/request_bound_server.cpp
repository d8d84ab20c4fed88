#include "bridge/request_bound_server.h"

#include <string>
#include <utility>

#include "bridge/listen_socket.h"
#include "remote/deadline_stream.h"

namespace morvanix {

RequestBoundServer::RequestBoundServer(std::chrono::milliseconds requestTime,
                                       std::function<bool()> stopped)
    : requestTime_(requestTime), stopped_(std::move(stopped)) {}

bool RequestBoundServer::process_and_close_socket(socket_t sock) {
  DeadlineStream::Limits limits;
  limits.readTimeout = DeadlineStream::Timeout(read_timeout_sec_, read_timeout_usec_);
  limits.writeTimeout = DeadlineStream::Timeout(write_timeout_sec_, write_timeout_usec_);
  // A connection waiting for a request notices a stop within a slice, and no further request
  // is read.
  limits.stopped = stopped_;
  bool served = false;
  for (std::size_t left = keep_alive_max_count_; left > 0 && !limits.stopped(); --left) {
    limits.readDeadline = DeadlineStream::Clock::now() + requestTime_;
    bool closeAfter = false;
    served = ProcessSocketWithin(sock, limits, [&](httplib::Stream& stream) {
      std::string remoteAddress;
      std::string localAddress;
      int remotePort = 0;
      int localPort = 0;
      stream.get_remote_ip_and_port(remoteAddress, remotePort);
      stream.get_local_ip_and_port(localAddress, localPort);
      return process_request(stream, remoteAddress, remotePort, localAddress, localPort, left == 1,
                             closeAfter, nullptr);
    });
    if (!served || closeAfter) break;
  }
  CloseConnection(sock);
  return served;
}

}  // namespace morvanix
