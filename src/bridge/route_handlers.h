#pragma once

#include <httplib.h>

#include "bridge/bridge_state.h"

namespace morvanix {

// The four routes of the loopback API, each working on the agent that serves it. Each
// answers the browser with a fixed response, whatever its work came to; the session
// identifier is the route's first capture.

// "/AC/": status 200, body " ", Content-Type text/plain.
void HandleAgentCheck(BridgeState& agent, const httplib::Request& request,
                      httplib::Response& response);

// "/RQ/": status 200 with an empty body; the handler sets no header.
void HandleRequest(BridgeState& agent, const httplib::Request& request,
                   httplib::Response& response);

// "/RMQ/": status 200, body " ", Content-Type text/plain.
void HandleRepeatedRequest(BridgeState& agent, const httplib::Request& request,
                           httplib::Response& response);

// "/RSQ/": status 200, body " ", Content-Type text/plain.
void HandleStopRepeat(BridgeState& agent, const httplib::Request& request,
                      httplib::Response& response);

}  // namespace morvanix
