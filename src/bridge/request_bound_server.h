#pragma once

#include <httplib.h>

#include <chrono>
#include <functional>

namespace morvanix {

// The library's HTTP server with every request's arrival bounded: its head and any body must
// have been read within requestTime of the moment the connection began to wait for it, or
// the connection is closed. A trickle of bytes, each inside the per-read time-out, would
// otherwise hold a connection (and its thread) for as long as the sender likes. Handlers and
// answers are not timed. A connection waiting for a request also notices a stop within a
// tenth of a second.
class RequestBoundServer : public httplib::Server {
 public:
  // `stopped` is asked between reads; once it says true, no further request is read.
  RequestBoundServer(std::chrono::milliseconds requestTime, std::function<bool()> stopped);

  // Hands over the socket a successful bind made; the library keeps no hold on it.
  socket_t TakeListener() { return svr_sock_.exchange(INVALID_SOCKET); }

  // The library's writers of chunked answers stop once its socket reads INVALID_SOCKET, its
  // sign of a stop: the accept loop shows its listener there while it serves, and nothing
  // else (the library never closes a socket it holds this way).
  void ShowListener(socket_t sock) { svr_sock_.store(sock); }

  // Serves one accepted connection to its end and closes it.
  void ServeConnection(socket_t sock) { process_and_close_socket(sock); }

 private:
  // The library's own per-connection loop, less its separate keep-alive wait: the first read
  // of each request waits up to the read time-out, as that wait did.
  bool process_and_close_socket(socket_t sock) override;

  std::chrono::milliseconds requestTime_;
  std::function<bool()> stopped_;
};

}  // namespace morvanix
