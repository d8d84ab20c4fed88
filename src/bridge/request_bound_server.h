#pragma once

#include <chrono>

#include "base/stop_token.h"
#include "remote/http_library_hooks.h"

namespace morvanix {

// The library's HTTP server with every request's arrival bounded: its head and any body must
// have been read within requestTime of the moment the connection began to wait for it, or
// the connection is closed. A trickle of bytes, each inside the per-read time-out, would
// otherwise hold a connection (and its thread) for as long as the sender likes. Handlers and
// answers are not timed. A connection waiting for a request ends at the stop.
class RequestBoundServer : public HookedServer {
 public:
  explicit RequestBoundServer(std::chrono::milliseconds requestTime) : requestTime_(requestTime) {}

  // Serves one accepted connection to its end and closes it; no further request is read
  // once `stop` comes.
  void ServeConnection(socket_t sock, const StopToken& stop);

 private:
  std::chrono::milliseconds requestTime_;
};

}  // namespace morvanix
