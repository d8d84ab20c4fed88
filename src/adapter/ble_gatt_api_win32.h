#pragma once

#include <memory>
#include <vector>

#include "adapter/ble_gatt_link.h"
#include "adapter/ble_paired_devices.h"
#include "base/stop_token.h"

namespace morvanix {

// True when BluetoothApis.dll (Windows 8 on) is there with every GATT function the link
// calls; it is loaded from the system folder once and kept.
bool HaveWin32BleGatt();

// The paired LE devices as SetupAPI lists them, each with its first known adapter service's
// interface; nothing, after one SetupAPI question, when there is none. No GATT call.
std::vector<PairedLeDevice> ListPairedLeDevices();

// The GATT calls of BluetoothApis.dll behind the link's table; null without the DLL. The
// calls that wait for the device end at the stop, and those of Open at kBleConnectBound.
std::shared_ptr<BleGattApi> MakeWin32BleGattApi(const StopToken& stop);

}  // namespace morvanix
