#pragma once

#include <string>

#include "remote/remote_endpoint.h"

namespace morvanix {

// The four messages the agent sends to the remote server on behalf of one session. Each is
// built as a JSON object, written with dump(), digit-encoded and posted once.

// AGENT_CHECK with the agent's revision text; the reply is dropped.
void SendAgentCheck(const RemoteEndpoint& remote, const std::string& ssid);

// INTERFACE_CHECK reporting the adapter that discovery found; the reply is dropped.
void SendInterfaceCheck(const RemoteEndpoint& remote, const std::string& ssid,
                        const std::string& discovered);

// GET_REQUEST; returns the server's reply (the request text, a text beginning with
// "NOT_FOUND", or the empty text when the exchange failed).
std::string FetchRequest(const RemoteEndpoint& remote, const std::string& ssid);

// RESPONSE carrying the "id" and "result" members of an executor result text; returns the
// server's reply, which callers drop.
std::string SendResponse(const RemoteEndpoint& remote, const std::string& result,
                         const std::string& ssid);

}  // namespace morvanix
