#pragma once

#include <httplib.h>

namespace morvanix {

// Makes the listening socket exclusive to this process: a second instance fails to bind
// instead of sharing the port (or, on Windows, taking it over).
void MakeAddressExclusive(socket_t sock);

// Raises the accept queue of a socket that is already listening; false if the platform
// refused.
bool SetListenBacklog(socket_t sock, int backlog);

void CloseListenSocket(socket_t sock);

}  // namespace morvanix
