#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "adapter/port_probe.h"
#include "adapter/serial_port_list.h"

namespace morvanix {

// The COM numbers the scan always tries, listed or not.
inline constexpr int kFirstScanPort = 1;
inline constexpr int kLastFixedScanPort = 16;

// Where Wi-Fi adapters serve, on the access point of their own that the computer joins.
inline constexpr const char* kWifiAdapterAddress = "192.168.0.10:35000";
inline constexpr const char* kWifiAdapterLink = "tcp://192.168.0.10:35000";

// The COM numbers in the order the scan tries them: 1 to 16, then the listed ports above 16
// in increasing order (only listed ones: a blind try of every number would cost an open each).
std::vector<int> ScanPortNumbers(const std::vector<ListedSerialPort>& listed);

// True when one of the addresses lies in 192.168.0.0/24, the network of a Wi-Fi adapter's
// access point: only then is its address worth a connection.
bool OnWifiAdapterNetwork(const std::vector<std::uint32_t>& addresses);

// The device name "\\.\COM<n>".
std::string ComDeviceName(int n);

// One candidate probed as the scan does: a serial device at kAdapterBaudRate, then at the other
// rates; a TCP adapter ("tcp://HOST:PORT") or a BLE one ("ble:<address>") once, rates
// meaning nothing there.
PortProbe ProbeCandidate(const std::string& portName, const StopToken& stop);
// The same on `port`, which a BLE adapter that answered is left connected on, so that its
// user need not connect it a second time (seconds of the radio's); every other candidate
// leaves the port closed, as today. `by` bounds a BLE candidate's connect and probe.
PortProbe ProbeCandidate(SerialPort& port, const std::string& portName, const StopToken& stop,
                         const Deadline& by);

}  // namespace morvanix
