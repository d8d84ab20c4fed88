#pragma once

#include <systemd/sd-bus.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "adapter/ble_gatt.h"
#include "base/deadline.h"
#include "base/stop_token.h"

namespace morvanix {

inline constexpr const char* kBluezName = "org.bluez";
inline constexpr const char* kAdapterInterface = "org.bluez.Adapter1";
inline constexpr const char* kDeviceInterface = "org.bluez.Device1";
inline constexpr const char* kGattServiceInterface = "org.bluez.GattService1";
inline constexpr const char* kGattCharacteristicInterface = "org.bluez.GattCharacteristic1";

// Owns one reference to a message.
struct BusMessage {
  BusMessage() = default;
  explicit BusMessage(sd_bus_message* m) : message(m) {}
  BusMessage(BusMessage&& other) noexcept : message(other.message) { other.message = nullptr; }
  BusMessage& operator=(BusMessage&& other) noexcept;
  BusMessage(const BusMessage&) = delete;
  BusMessage& operator=(const BusMessage&) = delete;
  ~BusMessage();
  sd_bus_message* message = nullptr;
};

// What a method call came back with: the reply, or the error's name ("" and no reply when
// the wait ended first).
struct BusReply {
  BusMessage reply;
  std::string error;
  bool Ok() const { return reply.message != nullptr; }
};

// One object of BlueZ's tree with the properties the agent reads.
struct BluezObject {
  std::string path;
  bool adapter = false;
  bool powered = false;
  bool device = false;
  std::string address;
  std::string name;
  std::vector<std::string> uuids;
  bool connected = false;
  bool servicesResolved = false;
  bool service = false;         // a GattService1
  bool characteristic = false;  // a GattCharacteristic1
  std::string uuid;             // of the service or characteristic
  std::string parent;  // the device's adapter, the service's device, the characteristic's service
  BleCharacteristicFlags flags;
};

// A connection of its own to the system bus (DBUS_SYSTEM_BUS_ADDRESS when set), driven by
// the caller's thread: every wait is a WaitFor on the bus's descriptor with the caller's
// deadline and stop, so the link has no thread and no timer of its own.
class BluezBus {
 public:
  // Null when there is no system bus to connect to.
  static std::unique_ptr<BluezBus> Connect();
  ~BluezBus();
  BluezBus(const BluezBus&) = delete;
  BluezBus& operator=(const BluezBus&) = delete;

  sd_bus* Bus() const { return bus_; }
  // Handles what the bus holds; when that was nothing, waits once for the bus until the
  // deadline or the stop. False when nothing was handled and the wait ended, or the
  // connection is broken.
  bool Pump(const Deadline& deadline, const StopToken& stop);
  bool Broken() const { return broken_; }

  // A call to BlueZ; fill(message) appends the arguments (true when it could).
  BusReply Call(const std::string& path, const char* interface, const char* member,
                const std::function<bool(sd_bus_message*)>& fill, const Deadline& deadline,
                const StopToken& stop);
  // The same without arguments.
  BusReply Call(const std::string& path, const char* interface, const char* member,
                const Deadline& deadline, const StopToken& stop);

  // BlueZ's whole tree; false when BlueZ did not answer (not on the bus, the wait ended).
  bool ManagedObjects(std::vector<BluezObject>& objects, const Deadline& deadline,
                      const StopToken& stop);

 private:
  explicit BluezBus(sd_bus* bus) : bus_(bus) {}
  sd_bus* bus_;
  bool broken_ = false;
};

// Reads a{sv} of one interface into the object (properties the agent does not read are
// skipped); false on a malformed message.
bool ReadBluezProperties(sd_bus_message* m, const std::string& interface, BluezObject& object);
// Reads a{sa{sv}} (the interfaces of one object, as GetManagedObjects and InterfacesAdded
// give them).
bool ReadBluezInterfaces(sd_bus_message* m, BluezObject& object);

// The GATT services and characteristics below one device, for ChooseBleChannel.
std::vector<BleService> ServicesOf(const std::vector<BluezObject>& objects,
                                   const std::string& devicePath);

}  // namespace morvanix
