#include "adapter/adapter_discovery.h"

#include <optional>
#include <vector>

#include "adapter/port_probe.h"

namespace morvanix {

namespace {

constexpr int kFirstPort = 1;
constexpr int kLastPort = 16;
constexpr std::int32_t kAdapterBaudRate = 38400;

std::string ComDeviceName(int n) {
  return "\\\\.\\COM" + std::to_string(n);
}

}  // namespace

std::optional<std::string> DiscoverAdapter(SerialPort* adapterPort,
                                           std::atomic<bool>* adapterConnected) {
  if (adapterPort != nullptr && adapterPort->IsOpen()) adapterPort->Close();
  if (adapterConnected != nullptr) adapterConnected->store(false);

  SerialPort probePort;
  int found = 0;
  PortProbe probe;
  std::vector<int> opened;  // devices worth another rate
  for (int n = kFirstPort; n <= kLastPort && found == 0; ++n) {
    probe =
        detail::ProbeAt(probePort, ComDeviceName(n), kAdapterBaudRate, detail::ResetWait::kFull);
    if (probe.verdict == ProbeVerdict::kAdapter) found = n;
    if (Opened(probe)) opened.push_back(n);
  }
  // Other rates only when the agent's own rate found nothing, so a usual scan costs no more.
  for (std::size_t i = 0; i < opened.size() && found == 0; ++i) {
    probe = detail::ProbeOtherRates(probePort, ComDeviceName(opened[i]));
    if (probe.verdict == ProbeVerdict::kAdapter) found = opened[i];
  }
  if (found == 0) return std::nullopt;

  if (adapterPort != nullptr) {
    adapterPort->SetPortName(ComDeviceName(found));
    adapterPort->SetBaudRate(probe.baudRate);
    if (adapterPort->Open() == 0 && adapterConnected != nullptr) adapterConnected->store(true);
  }
  return probe.banner + " on COM" + std::to_string(found);
}

}  // namespace morvanix
