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

// The same, writing prefix, then unit repeated until `repeated` bytes of it have gone (the
// last copy cut short), then suffix; stops early when the peer closes. Nothing is built in
// memory beyond one unit, so `repeated` may be far larger than any buffer.
bool AbortConnection(const httplib::Request& request, const std::string& prefix,
                     const std::string& unit, std::size_t repeated, const std::string& suffix);

}  // namespace morvanix::stub
