#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "base/deadline.h"
#include "base/stop_token.h"
#include "base/wait.h"

namespace morvanix {

// One connected, non-blocking TCP stream to an adapter: small writes go out at once (no
// Nagle delay) and keep-alive probes notice a peer that vanished without a word.
class TcpStream {
 public:
  // Tries the host's addresses in turn until one connects, the deadline passes or the stop
  // comes; nullptr then, with the reason in words in error.
  static std::unique_ptr<TcpStream> Connect(const std::string& host, int port,
                                            const Deadline& deadline, const StopToken& stop,
                                            std::string* error);
  virtual ~TcpStream() = default;

  // Bytes moved; 0 when the call would block; -1 when the connection is gone (closed or
  // reset by the peer, or failed).
  virtual std::ptrdiff_t Send(const char* data, std::size_t n) = 0;
  virtual std::ptrdiff_t Receive(char* buffer, std::size_t n) = 0;
  // Until the stream can move data the given way, the deadline or the stop.
  virtual WaitOutcome Wait(Readiness what, const Deadline& deadline, const StopToken& stop) = 0;
};

}  // namespace morvanix
