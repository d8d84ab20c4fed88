#include "adapter/port_probe.h"

#include <algorithm>
#include <chrono>
#include <string_view>

#include "adapter/answer_collector.h"

namespace morvanix {

namespace {

constexpr std::size_t kMaxDrainBytes = 4096;
// The answer is read to its prompt, so an adapter costs only its reset time; a device that
// never sends the prompt is given 4 s (1.2 s at the other rates, tried only on devices that
// answered nothing useful already). The byte bound ends a device that never falls silent.
constexpr std::size_t kMaxResetAnswer = 1024;
constexpr CollectLimits kProbeLimits{std::chrono::seconds(4), std::chrono::seconds(4),
                                     kMaxResetAnswer};
constexpr CollectLimits kShortProbeLimits{std::chrono::milliseconds(1200),
                                          std::chrono::milliseconds(1200), kMaxResetAnswer};
constexpr const char* kResetCommand = "ATZ\r";
constexpr std::string_view kResetEcho = "ATZ";

// The limits, cut to what is left before `by`.
CollectLimits LimitsBy(CollectLimits limits, const Deadline& by) {
  if (by.IsNever()) return limits;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(by.Left());
  limits.silence = std::min(limits.silence, left);
  limits.total = std::min(limits.total, left);
  return limits;
}

void ResetAndCollect(SerialPort& probe, const CollectLimits& limits, const Deadline& by,
                     const StopToken& stop, std::string& answer, CollectReport& report) {
  report = {};
  probe.Write(kResetCommand, stop);
  answer = CollectAnswer(probe, LimitsBy(limits, by), stop, &report);
}

bool BeginsWithEcho(const std::string& answer) {
  return answer.compare(0, kResetEcho.size(), kResetEcho) == 0;
}

}  // namespace

namespace detail {

PortProbe ProbeAt(SerialPort& probe, const std::string& deviceName, std::int32_t baudRate,
                  ResetWait wait, const StopToken& stop, const Deadline& by, AfterProbe after) {
  PortProbe result;
  result.baudRate = baudRate;
  probe.SetPortName(deviceName);
  probe.SetBaudRate(baudRate);
  const int opened = probe.Open(stop, by);
  if (opened != 0) {
    const SerialOpenError error = probe.LastOpenError();
    // A failed configuration keeps the device; release it so the next device gets its own.
    probe.Close();
    result.verdict = error.busy ? ProbeVerdict::kBusy : ProbeVerdict::kCannotOpen;
    result.openError = !error.reason.empty() ? error.reason
                       : opened == 1         ? "the device did not open"
                                     : "configuration step " + std::to_string(opened) + " failed";
    return result;
  }
  const CollectLimits& limits = wait == ResetWait::kFull ? kProbeLimits : kShortProbeLimits;
  DrainInput(probe, kMaxDrainBytes);
  std::string answer;
  CollectReport report;
  ResetAndCollect(probe, limits, by, stop, answer, report);
  if (!BeginsWithEcho(answer) && report.promptSeen && !stop.StopRequested() && !by.Passed()) {
    ResetAndCollect(probe, limits, by, stop, answer, report);
  }
  result.answer = report.raw;
  if (BeginsWithEcho(answer)) {
    result.verdict = ProbeVerdict::kAdapter;
    result.banner = answer.substr(kResetEcho.size());
  } else {
    result.verdict = report.raw.empty() ? ProbeVerdict::kSilent : ProbeVerdict::kNotAdapter;
  }
  if (result.verdict != ProbeVerdict::kAdapter || after == AfterProbe::kClose) probe.Close();
  return result;
}

PortProbe ProbeOtherRates(SerialPort& probe, const std::string& deviceName, const StopToken& stop) {
  PortProbe result;
  for (std::int32_t rate : kOtherProbeRates) {
    if (stop.StopRequested()) break;
    result = ProbeAt(probe, deviceName, rate, ResetWait::kShort, stop);
    if (result.verdict == ProbeVerdict::kAdapter || !Opened(result)) break;
  }
  return result;
}

}  // namespace detail

PortProbe ProbePort(const std::string& deviceName, const StopToken& stop) {
  SerialPort probe;
  PortProbe result =
      detail::ProbeAt(probe, deviceName, kAdapterBaudRate, detail::ResetWait::kFull, stop);
  if (!Opened(result) || stop.StopRequested()) return result;
  PortProbe other = detail::ProbeOtherRates(probe, deviceName, stop);
  // Nothing better at another rate: the answer at the agent's own rate is the one to show.
  return other.verdict == ProbeVerdict::kAdapter ? other : result;
}

}  // namespace morvanix
