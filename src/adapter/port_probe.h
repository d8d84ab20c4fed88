#pragma once

#include <cstdint>
#include <string>

#include "adapter/serial_port.h"
#include "base/deadline.h"
#include "base/stop_token.h"

namespace morvanix {

enum class ProbeVerdict { kAdapter, kNotAdapter, kSilent, kBusy, kCannotOpen };

// The rate the agent talks to an adapter at, and probes every device at first.
inline constexpr std::int32_t kAdapterBaudRate = 38400;

struct PortProbe {
  ProbeVerdict verdict = ProbeVerdict::kCannotOpen;
  std::string answer;  // the bytes of the last answer, as received (for display)
  std::int32_t baudRate = kAdapterBaudRate;  // the rate of that answer (kAdapter: it answered at)
  std::string banner;     // kAdapter: identification text (the answer after its echo)
  std::string openError;  // kBusy / kCannotOpen: the reason in words
};

// Opens deviceName ("\\.\COM3" or a path), probes it as the agent's scan does, closes it:
// the reset command at kAdapterBaudRate, then, when that found no adapter on a device that
// opened, at the other rates of kOtherProbeRates in turn. A stop ends the waits at once; the
// probe then reports what it had seen.
PortProbe ProbePort(const std::string& deviceName, const StopToken& stop);

// The rates tried after kAdapterBaudRate, in order (common adapter settings first).
inline constexpr std::int32_t kOtherProbeRates[] = {115200, 9600, 57600, 19200};

// True when a device answered at all, so that other rates are worth a try.
inline bool Opened(const PortProbe& probe) {
  return probe.verdict == ProbeVerdict::kSilent || probe.verdict == ProbeVerdict::kNotAdapter;
}

// Test seams.
namespace detail {

// Whether the probe at kAdapterBaudRate waits the scan's full time for the reset answer, or the
// short time that the other rates get.
enum class ResetWait { kFull, kShort };

// What becomes of the port once the probe is done.
enum class AfterProbe { kClose, kKeepAdapter };

// The reset command at one rate on the given (closed) port, which is closed again after
// (kKeepAdapter: left open when it is the adapter). An answer that ends with the prompt
// without the echo gets a second reset command: an adapter whose echo another program left
// off answers the first one unechoed. `by` ends the open and the waits sooner than their own
// bounds when it comes first.
PortProbe ProbeAt(SerialPort& probe, const std::string& deviceName, std::int32_t baudRate,
                  ResetWait wait, const StopToken& stop, const Deadline& by = Deadline::Never(),
                  AfterProbe after = AfterProbe::kClose);

// The other rates on a device that opened but gave no adapter at kAdapterBaudRate; the last probe
// when none answered.
PortProbe ProbeOtherRates(SerialPort& probe, const std::string& deviceName, const StopToken& stop);

}  // namespace detail

}  // namespace morvanix
