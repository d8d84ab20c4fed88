#pragma once

#include <atomic>
#include <chrono>
#include <optional>
#include <string>

#include "adapter/adapter_name.h"
#include "adapter/serial_port.h"
#include "base/stop_token.h"

namespace morvanix {

// Looks for the adapter by sending the reset command "ATZ" and taking the first device whose
// answer starts with the echo "ATZ" (an unechoed answer that ends with the prompt gets a second
// "ATZ"), in this order:
// 1. the adapter the user named, when there is one (a serial device at the scan's rates, or
//    tcp://HOST:PORT), reported as "<banner> on <the name as given>";
// 2. "\\.\COM1" to "\\.\COM16" at kAdapterBaudRate, then the listed ports above 16 in increasing
//    order; when none answered so, the devices that opened at the other probe rates, lowest
//    number first; reported as "<banner> on COM<n>";
// 3. when no serial adapter answered and this computer has an address in 192.168.0.0/24, the
//    Wi-Fi adapter at 192.168.0.10 port 35000, reported as "<banner> on 192.168.0.10:35000";
// 4. the BLE devices the Bluetooth stack knows with an adapter's service or name, then, when
//    none answered, those that one LE scan of at most 4 s finds (it ends at the first);
//    reported as "<banner> on BLE <address>" (so is a named ble: adapter). No stack: nothing.
// The BLE step as a whole ends by kBleStepBound. adapterPort is closed first and reopened on
// the device (at the rate) that answered, or, for a BLE adapter, given the probe's link still
// connected; adapterConnected is false from the start and true only when the port is ready
// so. Returns the identification text, also when the reopen failed, or nothing when no
// device answered; reporting it is the caller's business. A stop ends the search at once, with
// nothing found unless a device had answered already.
std::optional<std::string> DiscoverAdapter(SerialPort* adapterPort,
                                           std::atomic<bool>* adapterConnected,
                                           const StopToken& stop,
                                           const std::optional<NamedAdapter>& named = std::nullopt);

namespace detail {

// The same with the BLE step's bound given.
std::optional<std::string> DiscoverAdapter(SerialPort* adapterPort,
                                           std::atomic<bool>* adapterConnected,
                                           const StopToken& stop,
                                           const std::optional<NamedAdapter>& named,
                                           std::chrono::milliseconds bleBound);

}  // namespace detail

}  // namespace morvanix
