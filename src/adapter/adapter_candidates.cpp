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
  if (IsBleLinkName(portName)) {
    // The stop ends the connect too, not only the probe's waits.
    SerialPort probe([stop] { return MakeBleLinkBackend(stop); });
    return detail::ProbeAt(probe, portName, kAdapterBaudRate, detail::ResetWait::kFull, stop);
  }
  if (!IsTcpLinkName(portName)) return ProbePort(portName, stop);
  SerialPort probe;
  return detail::ProbeAt(probe, portName, kAdapterBaudRate, detail::ResetWait::kFull, stop);
}

}  // namespace morvanix
