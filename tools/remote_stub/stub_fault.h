#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace morvanix::stub {

// How the stand-in misbehaves on the next `remaining` posts to the agent endpoint.
enum class FaultKind {
  None,
  Status,  // answer `status` with `body` (a 200 with an empty body too)
  Delay,   // wait `delayMs`, then answer normally
  Close,   // close the connection before sending a single byte
  // Answer as usual, then close the connection without having said so (no
  // "Connection: close"), as a server does whose keep-alive is switched off:
  CloseAfterReply,
  Truncate,  // send the headers and half the announced body, then close
  Garbage,   // send bytes that are not HTTP, then close
  Huge,      // answer 200 with a body of `bytes` bytes
  // A reply head with one overlong part of `bytes` bytes, written raw, then closed:
  LongStatus,   // a status line of digits that never gets to a valid code
  LongReason,   // a valid code followed by an overlong reason phrase
  LongHeader,   // one header whose value is overlong
  ManyHeaders,  // short header lines without end
};

struct Fault {
  FaultKind kind = FaultKind::None;
  int remaining = 0;
  int status = 500;
  std::string body;
  int delayMs = 0;
  std::size_t bytes = 32u * 1024u * 1024u;
};

inline constexpr int kMaxFaultDelayMs = 600000;
inline constexpr std::size_t kMaxHugeBytes = 1024u * 1024u * 1024u;

// Reads a fault from its control form, e.g. {"kind":"status","status":404,"body":"gone",
// "count":2}; "count" defaults to 1. An empty object or {"kind":"none"} clears the fault.
// Unknown kinds and out-of-range values give nullopt with the reason in *error.
std::optional<Fault> ParseFault(const nlohmann::json& faultJson, std::string* error);

const char* FaultKindName(FaultKind kind);

}  // namespace morvanix::stub
