#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

#include "adapter/serial_port.h"
#include "base/stop_token.h"

namespace morvanix {

// Reads and throws away what the driver already holds, without waiting for more: stops when
// a read finds nothing, after maxBytes (a device that never falls silent), or when the
// device is lost. Returns the bytes dropped.
std::size_t DrainInput(SerialPort& port, std::size_t maxBytes);

struct CollectLimits {
  // The collection ends when no byte came for this long,
  std::chrono::milliseconds silence;
  // when it has taken this long in all,
  std::chrono::milliseconds total;
  // or once this many bytes were read (a memory bound, far above any real answer).
  std::size_t maxBytes;
  // The command as sent, without its CR: the first bytes are dropped when they are exactly
  // this (the adapter's echo) and kept otherwise. Empty: nothing is taken for an echo.
  std::string_view echo = {};
};

// What a collection saw besides its answer.
struct CollectReport {
  bool promptSeen = false;  // the collection ended at the prompt
  std::string raw;          // every byte read up to the prompt, in arrival order
};

// Reads the answer to its ">" prompt and returns at once when the prompt is read; ends
// earlier at a limit, at the stop or when the device is lost. CR, ">" and NUL are dropped;
// every other byte after the echo is kept in arrival order. Bytes read after the prompt
// belong to no answer and are dropped. When report is given, it is filled in as well.
std::string CollectAnswer(SerialPort& port, const CollectLimits& limits, const StopToken& stop,
                          CollectReport* report = nullptr);

}  // namespace morvanix
