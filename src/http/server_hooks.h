#pragma once

// The HTTP library's server, reached into beyond its public interface (its protected fields
// and its per-connection loop); the client's side of that is in remote/post_client.h, and
// both are checked against the library's version.
#include <httplib.h>

#include <chrono>
#include <string>

#include "base/socket_calls.h"
#include "base/stop_token.h"
#include "http/library_version.h"

namespace morvanix {

// The library's server with its per-connection loop and listener kept by the agent.
class HookedServer : public httplib::Server {
 public:
  // Hands over the socket a successful bind made; the library keeps no hold on it.
  socket_t TakeListener() { return svr_sock_.exchange(INVALID_SOCKET); }

  // The library's writers of chunked answers stop once its socket reads INVALID_SOCKET, its
  // sign of a stop: the accept loop shows its listener there while it serves, and nothing
  // else (the library never closes a socket it holds this way).
  void ShowListener(socket_t sock) { svr_sock_.store(sock); }

 protected:
  // Serves the requests of one non-blocking connection (at most the keep-alive count) until
  // one fails or asks to close, or the stop comes between two. Each request, head and any
  // body, must have arrived within requestTime of the moment the connection began to wait
  // for it, each read within the read time-out; answers are finished whatever the stop.
  bool ServeRequests(SocketHandle sock, std::chrono::milliseconds requestTime,
                     const StopToken& stop);
};

// The request the library passes its pre-routing handler as const is its own object, and the
// handler is the one hook before content is read and the answer is shaped.
httplib::Request& EditableRequest(const httplib::Request& request);

// Makes an answer whose head goes out and whose connection then closes: an empty body that
// cannot be written (a provider that gives up at once) is the library's way to do that.
void CloseAfterHead(httplib::Response& response, const std::string& contentType);

}  // namespace morvanix
