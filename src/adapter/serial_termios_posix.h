#pragma once

#include <termios.h>

#include <cstdint>
#include <optional>

#include "adapter/serial_backend.h"

namespace morvanix {

// The termios speed of a baud rate; nothing for the rates termios cannot express (14400,
// 128000, 256000).
std::optional<speed_t> SpeedFor(std::int32_t rate);

// Turns tio into a raw line with the given settings: every input, output and local flag
// cleared, no hardware or software flow control, no hang-up on close, reads that return at
// once. False when the platform cannot express the settings.
bool MakeLineSettings(const SerialLineSettings& line, termios& tio);

}  // namespace morvanix
