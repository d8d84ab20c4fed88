#pragma once

#include <httplib.h>

#include "bridge/accept_retry.h"

namespace morvanix {

// Makes the listening socket exclusive to this process: a second instance fails to bind
// instead of sharing the port (or, on Windows, taking it over).
void MakeAddressExclusive(socket_t sock);

// How long the accept loop waits for a connection before it looks for a stop. Zero means no
// wait at all: the loop blocks in accept, and a stop wakes it by shutting the socket down.
extern const long kAcceptWaitMicroseconds;

void CloseListenSocket(socket_t sock);

// One accept: the new connection, or INVALID_SOCKET and the platform's error code for it.
struct AcceptedSocket {
  socket_t sock = INVALID_SOCKET;
  int error = 0;
};
AcceptedSocket AcceptConnection(socket_t listener);

// What the platform's accept error code says about the listener.
AcceptFailure ClassifyAcceptError(int error);

// Waits up to kAcceptWaitMicroseconds for a connection; false when the wait ran out with
// none. Without a wait it returns true at once and the accept itself blocks.
bool WaitForConnection(socket_t listener);

// Wakes an accept loop waiting on the listener from another thread. Where this closes the
// listener (kInterruptClosesListener), the caller no longer owns it.
void InterruptListener(socket_t listener);
extern const bool kInterruptClosesListener;

// Shuts a connection down both ways and closes it.
void CloseConnection(socket_t sock);

}  // namespace morvanix
