#include "adapter/port_probe.h"

#include <string_view>

#include "adapter/answer_collector.h"

namespace morvanix {

namespace {

constexpr std::int32_t kAdapterBaudRate = 38400;
constexpr int kMaxDiscardPolls = 100;
constexpr CollectLimits kProbeLimits{200, 30, 0};
constexpr const char* kResetCommand = "ATZ\r";
constexpr std::string_view kResetEcho = "ATZ";

}  // namespace

namespace detail {

PortProbe ProbeAt(SerialPort& probe, const std::string& deviceName, std::int32_t baudRate) {
  PortProbe result;
  result.baudRate = baudRate;
  probe.SetPortName(deviceName);
  probe.SetBaudRate(baudRate);
  const int opened = probe.Open();
  if (opened != 0) {
    // A failed configuration keeps the device; release it so the next device gets its own.
    probe.Close();
    result.verdict = ProbeVerdict::kCannotOpen;
    result.openError = opened == 1 ? "the device did not open"
                                   : "configuration step " + std::to_string(opened) + " failed";
    return result;
  }
  DiscardStaleInput(probe, kMaxDiscardPolls);
  probe.Write(kResetCommand);
  CollectReport report;
  const std::string answer = CollectAnswer(probe, kProbeLimits, &report);
  probe.Close();
  result.answer = report.raw;
  if (answer.compare(0, kResetEcho.size(), kResetEcho) == 0) {
    result.verdict = ProbeVerdict::kAdapter;
    result.banner = answer.substr(kResetEcho.size());
  } else {
    result.verdict = report.raw.empty() ? ProbeVerdict::kSilent : ProbeVerdict::kNotAdapter;
  }
  return result;
}

}  // namespace detail

PortProbe ProbePort(const std::string& deviceName) {
  SerialPort probe;
  return detail::ProbeAt(probe, deviceName, kAdapterBaudRate);
}

}  // namespace morvanix
