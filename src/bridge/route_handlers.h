#pragma once

#include <httplib.h>

namespace morvanix {

// The four routes of the loopback API. Each answers the browser with a fixed response,
// whatever its work came to; the session identifier is the route's first capture.

// "/AC/": status 200, body " ", Content-Type text/plain.
void HandleAgentCheck(const httplib::Request& request, httplib::Response& response);

// "/RQ/": status 200 with an empty body; the handler sets no header.
void HandleRequest(const httplib::Request& request, httplib::Response& response);

// "/RMQ/": status 200, body " ", Content-Type text/plain.
void HandleRepeatedRequest(const httplib::Request& request, httplib::Response& response);

// "/RSQ/": status 200, body " ", Content-Type text/plain.
void HandleStopRepeat(const httplib::Request& request, httplib::Response& response);

}  // namespace morvanix
