#include "adapter/adapter_discovery.h"

#include <chrono>
#include <memory>
#include <optional>
#include <vector>

#include "adapter/adapter_candidates.h"
#include "adapter/ble_link.h"
#include "adapter/local_ipv4.h"
#include "adapter/port_probe.h"

namespace morvanix {

namespace {

// The device that answered: where to reopen the shared port (or the probe's port, still
// open, to hand over), and how to name it in the report.
struct Found {
  std::string portName;
  std::string shownAs;
  PortProbe probe;
  std::unique_ptr<SerialPort> open;
};

std::optional<Found> ScanComPorts(const StopToken& stop) {
  SerialPort probePort;
  PortProbe probe;
  std::vector<int> opened;  // devices worth another rate
  for (int n : ScanPortNumbers(ListSerialPorts())) {
    if (stop.StopRequested()) return std::nullopt;
    probe = detail::ProbeAt(probePort, ComDeviceName(n), kAdapterBaudRate, detail::ResetWait::kFull,
                            stop);
    if (probe.verdict == ProbeVerdict::kAdapter)
      return Found{ComDeviceName(n), "COM" + std::to_string(n), probe, nullptr};
    if (Opened(probe)) opened.push_back(n);
  }
  // Other rates only when the agent's own rate found nothing, so a usual scan costs no more.
  for (int n : opened) {
    if (stop.StopRequested()) return std::nullopt;
    probe = detail::ProbeOtherRates(probePort, ComDeviceName(n), stop);
    if (probe.verdict == ProbeVerdict::kAdapter)
      return Found{ComDeviceName(n), "COM" + std::to_string(n), probe, nullptr};
  }
  return std::nullopt;
}

std::optional<Found> Probe(const std::string& portName, const std::string& shownAs,
                           const StopToken& stop, const Deadline& by = Deadline::Never()) {
  auto port = std::make_unique<SerialPort>();
  PortProbe probe = ProbeCandidate(*port, portName, stop, by);
  if (probe.verdict != ProbeVerdict::kAdapter) return std::nullopt;
  if (!port->IsOpen()) port.reset();
  return Found{portName, shownAs, probe, std::move(port)};
}

std::string BleShownAs(const std::string& address) {
  return "BLE " + address;
}

// Known BLE devices that may be adapters, then, when none was, one LE scan; each connected
// and probed in turn, and disconnected again unless it is the adapter; all of it by `by`.
std::optional<Found> SearchBle(const Deadline& by, const StopToken& stop) {
  const std::unique_ptr<BleCandidateSource> source = MakePlatformBleCandidateSource();
  if (!source) return std::nullopt;
  std::vector<std::string> tried;
  const auto probeEach = [&](const std::vector<BleCandidate>& candidates) -> std::optional<Found> {
    for (const BleCandidate& candidate : candidates) {
      if (stop.StopRequested() || by.Passed()) return std::nullopt;
      tried.push_back(candidate.address);
      if (auto found =
              Probe(kBleLinkScheme + candidate.address, BleShownAs(candidate.address), stop, by)) {
        return found;
      }
    }
    return std::nullopt;
  };
  if (auto found = probeEach(source->Known(Deadline::After(kBleScanBound).Sooner(by), stop))) {
    return found;
  }
  if (stop.StopRequested() || by.Passed()) return std::nullopt;
  return probeEach(source->Scan(tried, Deadline::After(kBleScanBound).Sooner(by), stop));
}

std::optional<Found> Search(const std::optional<NamedAdapter>& named, const StopToken& stop,
                            std::chrono::milliseconds bleBound) {
  if (named) {
    const std::string shownAs =
        named->ble ? BleShownAs(BleLinkAddress(named->portName)) : named->given;
    if (auto found = Probe(named->portName, shownAs, stop)) return found;
  }
  if (auto found = ScanComPorts(stop)) return found;
  // Nothing is sent to the network unless the computer has joined an adapter's access point.
  if (!stop.StopRequested() && OnWifiAdapterNetwork(LocalIpv4Addresses())) {
    if (auto found = Probe(kWifiAdapterLink, kWifiAdapterAddress, stop)) return found;
  }
  if (stop.StopRequested()) return std::nullopt;
  return SearchBle(Deadline::After(bleBound), stop);
}

}  // namespace

namespace detail {

std::optional<std::string> DiscoverAdapter(SerialPort* adapterPort,
                                           std::atomic<bool>* adapterConnected,
                                           const StopToken& stop,
                                           const std::optional<NamedAdapter>& named,
                                           std::chrono::milliseconds bleBound) {
  if (adapterPort != nullptr && adapterPort->IsOpen()) adapterPort->Close();
  if (adapterConnected != nullptr) adapterConnected->store(false);

  const std::optional<Found> found = Search(named, stop, bleBound);
  if (!found) return std::nullopt;

  if (adapterPort != nullptr) {
    bool ready = false;
    if (found->open) {
      // Still connected from the probe (BLE): a second connect would cost seconds.
      found->open->HandOver(*adapterPort);
      ready = true;
    } else {
      adapterPort->SetPortName(found->portName);
      adapterPort->SetBaudRate(found->probe.baudRate);
      ready = adapterPort->Open(stop) == 0;
    }
    if (ready && adapterConnected != nullptr) adapterConnected->store(true);
  }
  return found->probe.banner + " on " + found->shownAs;
}

}  // namespace detail

std::optional<std::string> DiscoverAdapter(SerialPort* adapterPort,
                                           std::atomic<bool>* adapterConnected,
                                           const StopToken& stop,
                                           const std::optional<NamedAdapter>& named) {
  return detail::DiscoverAdapter(adapterPort, adapterConnected, stop, named, kBleStepBound);
}

}  // namespace morvanix
