#pragma once

#include <httplib.h>

namespace morvanix {

// Makes the listening socket exclusive to this process: a second instance fails to bind
// instead of sharing the port (or, on Windows, taking it over).
void MakeAddressExclusive(socket_t sock);

// How long the accept loop waits for a connection before it looks for a stop. Zero means no
// wait at all: the loop blocks in accept, and a stop wakes it by shutting the socket down.
extern const long kAcceptWaitMicroseconds;

void CloseListenSocket(socket_t sock);

// Shuts a connection down both ways and closes it.
void CloseConnection(socket_t sock);

}  // namespace morvanix
