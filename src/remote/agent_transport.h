#pragma once

#include <chrono>
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
// status, reply larger than kMaxAgentReplyBytes, a status or header line longer than the
// HTTP library's 8 KiB line limit) gives the empty text. Nothing logged, never throws.
// With remote.keeper, the connection of the last post is used again while the server keeps
// it open (an HTTP/1.1 connection, see ConnectionKeeper); any failure closes it. A message
// is sent again, once, on a new connection, only when the kept connection it went out on was
// closed by the server before a byte of the reply came; it is never sent twice where the
// server may have read it. Without a keeper, each post has a connection of its own.
// The whole post, connection included, ends within kAgentTimeoutSeconds, and at once at
// remote.stop.
std::string PostAgentMessage(const RemoteEndpoint& remote, const std::string& encoded);

// The same with another bound for the whole post (tests pass a short one).
std::string PostAgentMessage(const RemoteEndpoint& remote, const std::string& encoded,
                             std::chrono::steady_clock::duration limit);

// Bound for connecting, writing the request, each wait for reply bytes, and the whole post.
inline constexpr int kAgentTimeoutSeconds = 300;

// A request text is a few kilobytes; a larger reply is treated as a failed exchange rather
// than letting a faulty server grow the agent's memory without limit.
inline constexpr std::size_t kMaxAgentReplyBytes = 16u * 1024u * 1024u;

}  // namespace morvanix
