#include "adapter/adapter_candidates.h"

#include <algorithm>

#include "adapter/adapter_name.h"
#include "adapter/ble_link.h"

namespace morvanix {

namespace {

constexpr std::uint32_t kWifiNetwork = 0xC0A80000;  // 192.168.0.0
constexpr std::uint32_t kWifiNetmask = 0xFFFFFF00;  // /24

}  // namespace

std::vector<int> ScanPortNumbers(const std::vector<ListedSerialPort>& listed) {
  std::vector<int> numbers;
  for (int n = kFirstScanPort; n <= kLastFixedScanPort; ++n) numbers.push_back(n);
  std::vector<int> above;
  for (const ListedSerialPort& port : listed) {
    if (port.number > kLastFixedScanPort) above.push_back(port.number);
  }
  std::sort(above.begin(), above.end());
  above.erase(std::unique(above.begin(), above.end()), above.end());
  numbers.insert(numbers.end(), above.begin(), above.end());
  return numbers;
}

bool OnWifiAdapterNetwork(const std::vector<std::uint32_t>& addresses) {
  return std::any_of(addresses.begin(), addresses.end(),
                     [](std::uint32_t a) { return (a & kWifiNetmask) == kWifiNetwork; });
}

std::string ComDeviceName(int n) {
  return "\\\\.\\COM" + std::to_string(n);
}

PortProbe ProbeCandidate(const std::string& portName, const StopToken& stop) {
  SerialPort probe;
  return ProbeCandidate(probe, portName, stop, Deadline::Never());
}

PortProbe ProbeCandidate(SerialPort& port, const std::string& portName, const StopToken& stop,
                         const Deadline& by) {
  port.Close();
  if (IsBleLinkName(portName)) {
    return detail::ProbeAt(port, portName, kAdapterBaudRate, detail::ResetWait::kFull, stop, by,
                           detail::AfterProbe::kKeepAdapter);
  }
  // A serial or TCP adapter is let go and opened again by its user, as it always was: the
  // adapter sees the same closes and opens.
  if (!IsTcpLinkName(portName)) return ProbePort(portName, stop);
  return detail::ProbeAt(port, portName, kAdapterBaudRate, detail::ResetWait::kFull, stop);
}

}  // namespace morvanix
