#include "bridge/request_bound_server.h"

#include "base/socket_calls.h"
#include "bridge/listen_socket.h"

namespace morvanix {

void RequestBoundServer::ServeConnection(socket_t sock, const StopToken& stop) {
  // Every wait on the connection is a wait on the socket and the stop; nothing blocks in
  // the kernel.
  if (SetNonBlocking(sock)) ServeRequests(sock, requestTime_, stop);
  CloseConnection(sock);
}

}  // namespace morvanix
