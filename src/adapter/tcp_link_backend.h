#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "adapter/serial_backend.h"
#include "base/deadline.h"
#include "base/stop_token.h"

namespace morvanix {

// How long a TCP adapter may take to accept the connection: one on the local network answers
// in a few milliseconds, and a scan must not wait long on an address where nothing is.
inline constexpr std::chrono::milliseconds kTcpConnectBound{300};

// An adapter reached over TCP (a Wi-Fi adapter, or one named "tcp://HOST:PORT") behind the
// serial backend's interface, so that the exchange, the probe and the lock cannot tell it
// from a serial port. The line settings mean nothing there, and it has no modem lines. A
// connection that the adapter closes or resets is a lost device. The connect ends at
// kTcpConnectBound, at connectBy when that comes first, or at the stop.
std::unique_ptr<SerialBackend> MakeTcpLinkBackend(const StopToken& stop = StopToken(),
                                                  const Deadline& connectBy = Deadline::Never());

}  // namespace morvanix
