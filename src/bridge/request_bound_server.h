#pragma once

#include <httplib.h>

#include <chrono>

namespace morvanix {

// The library's HTTP server with every request's arrival bounded: its head and any body must
// have been read within requestTime of the moment the connection began to wait for it, or
// the connection is closed. A trickle of bytes, each inside the per-read time-out, would
// otherwise hold a connection (and its thread) for as long as the sender likes. Handlers and
// answers are not timed. A connection waiting for a request also notices a stop within a
// tenth of a second.
class RequestBoundServer : public httplib::Server {
 public:
  explicit RequestBoundServer(std::chrono::milliseconds requestTime);

 private:
  // The library's own per-connection loop, less its separate keep-alive wait: the first read
  // of each request waits up to the read time-out, as that wait did.
  bool process_and_close_socket(socket_t sock) override;

  std::chrono::milliseconds requestTime_;
};

}  // namespace morvanix
