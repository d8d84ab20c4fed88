#include "adapter/adapter_discovery.h"

#include <optional>

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

  int found = 0;
  PortProbe probe;
  for (int n = kFirstPort; n <= kLastPort; ++n) {
    probe = ProbePort(ComDeviceName(n));
    if (probe.verdict == ProbeVerdict::kAdapter) {
      found = n;
      break;
    }
  }
  if (found == 0) return std::nullopt;

  if (adapterPort != nullptr) {
    adapterPort->SetPortName(ComDeviceName(found));
    adapterPort->SetBaudRate(kAdapterBaudRate);
    if (adapterPort->Open() == 0 && adapterConnected != nullptr) adapterConnected->store(true);
  }
  return probe.banner + " on COM" + std::to_string(found);
}

}  // namespace morvanix
