#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

#include "adapter/serial_port.h"

namespace morvanix {

// Reads and throws away what waits on the port, stopping at the first poll that brings no
// byte, after maxPolls polls (a device that never falls silent), or when the device is lost.
// Returns the bytes dropped.
std::size_t DiscardStaleInput(SerialPort& port, int maxPolls);

struct CollectLimits {
  int maxPasses;    // stop after this many passes
  int maxReceived;  // stop once this many bytes were read
  // The command as sent, without its CR: the first bytes are dropped when they are exactly
  // this (the adapter's echo) and kept otherwise. Empty: nothing is taken for an echo.
  std::string_view echo = {};
  // Stop once collecting has taken this long, so that an adapter that never falls silent
  // cannot hold the port; zero for no such bound.
  std::chrono::milliseconds maxDuration{0};
};

// What a collection saw besides its answer.
struct CollectReport {
  bool promptSeen = false;  // the last pass brought the prompt
  std::string raw;          // every byte read, in arrival order
};

// A pass polls until a poll brings no byte (or kMaxPassBytes came), then sleeps 10 ms. The
// limits and the prompt are looked at after each pass only; a lost device ends the
// collection at once. CR, ">" and NUL are dropped; every other byte after the echo is kept
// in arrival order. When report is given, it is filled in as well.
std::string CollectAnswer(SerialPort& port, const CollectLimits& limits,
                          CollectReport* report = nullptr);

// Bytes a single pass takes before it looks at its limits, so that an endless stream cannot
// keep one pass going for ever.
inline constexpr int kMaxPassBytes = 1024;

}  // namespace morvanix
