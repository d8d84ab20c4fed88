#pragma once

#include <cstdint>
#include <string>

#include "adapter/serial_port.h"

namespace morvanix {

enum class ProbeVerdict { kAdapter, kNotAdapter, kSilent, kBusy, kCannotOpen };

struct PortProbe {
  ProbeVerdict verdict = ProbeVerdict::kCannotOpen;
  std::string answer;             // the bytes of the last answer, as received (for display)
  std::int32_t baudRate = 38400;  // the rate of that answer (for kAdapter: the rate it answered at)
  std::string banner;             // kAdapter: identification text (the answer after its echo)
  std::string openError;          // kBusy / kCannotOpen: the reason in words
};

// Opens deviceName ("\\.\COM3" or a path), probes it as the agent's scan does, closes it.
PortProbe ProbePort(const std::string& deviceName);

// Test seams.
namespace detail {

// One reset command at one rate on the given (closed) port, which is closed again after.
PortProbe ProbeAt(SerialPort& probe, const std::string& deviceName, std::int32_t baudRate);

}  // namespace detail

}  // namespace morvanix
