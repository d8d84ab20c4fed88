#pragma once

#include <httplib.h>

#include "bridge/accept_retry.h"

namespace morvanix {

// Makes the listening socket exclusive to this process: a second instance fails to bind
// instead of sharing the port (or, on Windows, taking it over).
void MakeAddressExclusive(socket_t sock);

void CloseListenSocket(socket_t sock);

// One accept: the new connection, or INVALID_SOCKET and the platform's error code for it.
struct AcceptedSocket {
  socket_t sock = INVALID_SOCKET;
  int error = 0;
};
AcceptedSocket AcceptConnection(socket_t listener);

// What the platform's accept error code says about the listener.
AcceptFailure ClassifyAcceptError(int error);

// Shuts a connection down both ways and closes it.
void CloseConnection(socket_t sock);

}  // namespace morvanix
