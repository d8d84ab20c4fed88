#pragma once

#include <httplib.h>

#include <chrono>

namespace morvanix {

// The few socket calls the remote side makes itself, the same on every platform: a
// non-blocking client socket whose every wait is one short slice, so that the caller can
// look at its deadline and its stop between them.

enum class SocketWait { kReady, kTimedOut, kFailed };

// Waits at most `slice` for sock to become readable (or writable); an error or hang-up on the
// socket counts as ready, so that the next call reports it.
SocketWait WaitForSocket(socket_t sock, bool forWrite, std::chrono::milliseconds slice);

bool SetNonBlocking(socket_t sock);

// Starts connecting a non-blocking socket: 0 connected, 1 under way, -1 refused at once.
int StartConnect(socket_t sock, const sockaddr* address, int length);

// After a wait for writability: true when the connection under way has been made.
bool ConnectionMade(socket_t sock);

// Sends small writes at once instead of holding them for the peer's acknowledgement: a TLS
// request goes out as several records, and waiting would add a delayed ACK to every post.
void SendWithoutDelay(socket_t sock);

// One send or receive that never waits (and never raises SIGPIPE); -1 on failure.
ssize_t SendSome(socket_t sock, const char* data, size_t size);
ssize_t ReceiveSome(socket_t sock, char* data, size_t size);

// True when the last failed send or receive on this thread would only have blocked.
bool LastCallWouldBlock();

}  // namespace morvanix
