#pragma once

#include <cstddef>
#include <string>

#include "remote/remote_endpoint.h"

namespace morvanix {

// Every message to the remote server travels as the digit encoding of its JSON text, posted
// once as the form field "agent_message" to "/DEV/Agent.php".

// Each byte of text as a signed 8-bit decimal followed by "n": "abc" -> "97n98n99n",
// 0xC3 -> "-61n". The result holds only digits, "-" and "n", so it is safe in a form body.
std::string EncodeDecimalBytes(const std::string& text);

// Posts encoded (unchanged) as the only form field and returns the reply body when the
// server answered 200; every failure (no connection, time-out, broken exchange, other
// status, reply larger than kMaxAgentReplyBytes) gives the empty text. One connection per
// call, nothing retried, nothing logged, never throws.
std::string PostAgentMessage(const RemoteEndpoint& remote, const std::string& encoded);

// Bound for connecting, writing the request and each wait for reply bytes.
inline constexpr int kAgentTimeoutSeconds = 300;

// A request text is a few kilobytes; a larger reply is treated as a failed exchange rather
// than letting a faulty server grow the agent's memory without limit.
inline constexpr std::size_t kMaxAgentReplyBytes = 16u * 1024u * 1024u;

}  // namespace morvanix
