#pragma once

#include <ostream>
#include <string>

#include <cstdint>
#include <vector>

#include "adapter/adapter_name.h"
#include "adapter/ble_link.h"
#include "adapter/port_probe.h"
#include "adapter/serial_port_list.h"
#include "diagnose/diagnose_platform.h"

namespace morvanix {

// What the summary is made of.
struct Findings {
  std::string adapterAt;  // where the agent would find the adapter ("COM3", a name), or empty
  int busyPort = 0;       // the first busy serial device, or 0
  bool anySerialDevice = false;
  bool remoteReachable = false;
  std::string remote;  // host:port, for the sentence
};

// The last line: one sentence saying what works and what does not.
std::string SummarySentence(const Findings& findings);

// The line for one probed serial device.
CheckLine SerialProbeLine(const ListedSerialPort& port, const PortProbe& probe);

// The line for the adapter named in MORVANIX_ADAPTER and what it answered.
CheckLine NamedAdapterLine(const NamedAdapter& named, const PortProbe& probe);

// Whether this computer is on a Wi-Fi adapter's network (192.168.0.0/24), from its IPv4
// addresses in host byte order.
CheckLine WifiNetworkLine(const std::vector<std::uint32_t>& addresses);

// The line for the Wi-Fi adapter's address and what it answered.
CheckLine WifiAdapterLine(const PortProbe& probe);

// Whether there is a Bluetooth stack to ask and how many BLE candidates it knows.
CheckLine BleStackLine(bool stack, std::size_t candidates);

// The line for one BLE candidate and what it answered.
CheckLine BleProbeLine(const BleCandidate& candidate, const PortProbe& probe);

// The scheme, host, port and TLS setting the build was made with, in a few words.
std::string BuildSettings();

// Runs every check, writing one line each as it finishes, then the summary. Returns the exit
// status: 0 when an adapter answered where the agent looks and the remote server took a
// connection.
int RunDiagnosis(std::ostream& out);

}  // namespace morvanix
