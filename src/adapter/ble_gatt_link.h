#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "adapter/ble_gatt.h"
#include "adapter/serial_backend.h"
#include "base/deadline.h"
#include "base/stop_token.h"

namespace morvanix {

// The calls a BLE link makes into a GATT API that reaches paired devices directly and calls
// back on a thread of its own (Windows' Bluetooth LE GATT functions), as a table that tests
// replace. Handles are the API's own, carried as text.
class BleGattApi {
 public:
  struct Device {
    std::string address;  // 00:1D:A5:68:98:8A
    std::string name;
    std::string path;  // what OpenDevice takes
  };
  enum class WriteResult { kDone, kFailed, kGone };
  using ValueChanged = std::function<void(const unsigned char* data, std::size_t n)>;
  using Gone = std::function<void()>;

  virtual ~BleGattApi() = default;
  // The paired LE devices that offer one of the adapters' services.
  virtual std::vector<Device> PairedDevices() = 0;
  virtual bool OpenDevice(const std::string& path) = 0;
  virtual void CloseDevice() = 0;
  virtual bool Services(std::vector<BleService>& services) = 0;
  // onChange and onGone may be called on another thread until UnregisterValueChanged returns.
  virtual bool RegisterValueChanged(const std::string& characteristic, ValueChanged onChange,
                                    Gone onGone) = 0;
  virtual void UnregisterValueChanged() = 0;
  // Writes the characteristic's notification descriptor: the API does not do it itself.
  virtual bool EnableNotifications(const std::string& characteristic) = 0;
  // One chunk of at most kBleChunkBytes; returns when the API is done with it, or fails at
  // the deadline or the stop.
  virtual WriteResult WriteValue(const std::string& characteristic, const char* data, std::size_t n,
                                 BleWriteType type, const Deadline& deadline,
                                 const StopToken& stop) = 0;
};

// A BLE adapter over such an API behind the serial backend's interface: Open("ble:<address>")
// opens the paired device, chooses its characteristics, registers for value changes and then
// writes the notification descriptor, before any traffic. Notifications land in a buffer that
// ReadSome waits on with the deadline and the stop; a device the API reports gone is lost.
std::unique_ptr<SerialBackend> MakeBleGattLinkBackend(std::shared_ptr<BleGattApi> api);

}  // namespace morvanix
