#pragma once

#include <memory>
#include <vector>

#include "adapter/ble_gatt_link.h"
#include "adapter/ble_le_api_win32.h"
#include "adapter/ble_paired_devices.h"
#include "base/deadline.h"
#include "base/stop_token.h"

namespace morvanix {

// True when BluetoothApis.dll (Windows 8 on) is there with every GATT function the link
// calls; it is loaded from the system folder once and kept.
bool HaveWin32BleGatt();

// The paired LE devices as SetupAPI lists them, each with its first known adapter service's
// interface; nothing, after one SetupAPI question, when there is none. No GATT call.
std::vector<PairedLeDevice> ListPairedLeDevices();

// The GATT functions the link calls, as BluetoothApis.dll exports them.
struct GattFunctions {
  btle::BluetoothGATTGetServicesFn getServices = nullptr;
  btle::BluetoothGATTGetCharacteristicsFn getCharacteristics = nullptr;
  btle::BluetoothGATTGetDescriptorsFn getDescriptors = nullptr;
  btle::BluetoothGATTSetDescriptorValueFn setDescriptorValue = nullptr;
  btle::BluetoothGATTSetCharacteristicValueFn setCharacteristicValue = nullptr;
  btle::BluetoothGATTRegisterEventFn registerEvent = nullptr;
  btle::BluetoothGATTUnregisterEventFn unregisterEvent = nullptr;
};

// The GATT calls of BluetoothApis.dll behind the link's table; null without the DLL. The
// calls that wait for the device end at the stop, and those of Open at kBleConnectBound or
// connectBy, whichever comes first.
std::shared_ptr<BleGattApi> MakeWin32BleGattApi(const StopToken& stop,
                                                const Deadline& connectBy = Deadline::Never());
// The same over other functions (tests); they must last as long as the process, as a call
// left behind at a bound may still run.
std::shared_ptr<BleGattApi> MakeWin32BleGattApiOver(const GattFunctions& functions,
                                                    const StopToken& stop,
                                                    const Deadline& connectBy = Deadline::Never());

}  // namespace morvanix
