#pragma once

#include <string>

#include <httplib.h>

namespace morvanix::stub {

// The HTTP library hands handlers no socket, yet two faults must act below HTTP. The socket
// is found by its two ports (the listening port and the caller's port, as the request
// reports them), so `bytes` can be written raw before the connection is shut down; the
// library then fails to write its own answer and closes the socket. False when no socket
// matched.
bool AbortConnection(const httplib::Request& request, const std::string& bytes);

}  // namespace morvanix::stub
