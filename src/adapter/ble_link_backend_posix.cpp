#include <strings.h>

#include <cstring>

#include "adapter/ble_bluez_posix.h"
#include "adapter/ble_link.h"
#include "adapter/ble_stream.h"

namespace morvanix {

namespace {

constexpr const char* kPropertiesInterface = "org.freedesktop.DBus.Properties";
// Putting a device back takes the stack a moment; the port's close does not wait longer.
constexpr std::chrono::milliseconds kReleaseBound{1000};

// The "Value" of a characteristic's PropertiesChanged (sa{sv}as), appended to the queue.
bool ReadValueChange(sd_bus_message* m, BleByteQueue& queue) {
  const char* interface = nullptr;
  if (sd_bus_message_read_basic(m, 's', &interface) < 0 ||
      std::strcmp(interface, kGattCharacteristicInterface) != 0 ||
      sd_bus_message_enter_container(m, 'a', "{sv}") < 0) {
    return false;
  }
  while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
    const char* key = nullptr;
    const char* contents = nullptr;
    if (sd_bus_message_read_basic(m, 's', &key) < 0 ||
        sd_bus_message_peek_type(m, nullptr, &contents) < 0) {
      return false;
    }
    if (std::strcmp(key, "Value") == 0 && contents != nullptr && std::strcmp(contents, "ay") == 0) {
      const void* bytes = nullptr;
      std::size_t size = 0;
      if (sd_bus_message_enter_container(m, 'v', "ay") < 0 ||
          sd_bus_message_read_array(m, 'y', &bytes, &size) < 0) {
        return false;
      }
      queue.Push(static_cast<const unsigned char*>(bytes), size);
      (void)sd_bus_message_exit_container(m);
    } else if (sd_bus_message_skip(m, "v") < 0) {
      return false;
    }
    (void)sd_bus_message_exit_container(m);
  }
  return true;
}

class BleLinkBackend final : public SerialBackend {
 public:
  BleLinkBackend(StopToken stop, const Deadline& connectBy)
      : stop_(std::move(stop)), connectBy_(connectBy) {}
  ~BleLinkBackend() override { Close(); }

  int Open(const std::string& portName, const SerialLineSettings&) override {
    Close();
    openError_ = {};
    const std::string address = BleLinkAddress(portName);
    if (address.empty()) return Fail("not a name of the form ble:<address>");
    bus_ = BluezBus::Connect();
    if (!bus_) return Fail("no system bus");
    const Deadline by = Deadline::After(kBleConnectBound).Sooner(connectBy_);
    std::vector<BluezObject> objects;
    if (!bus_->ManagedObjects(objects, by, stop_))
      return Fail("the Bluetooth stack did not answer");
    for (const BluezObject& o : objects) {
      if (o.device && EqualAddress(o.address, address)) device_ = o;
    }
    if (device_.path.empty()) return Fail("no Bluetooth device " + address);
    // Subscribed before anything can change: the disconnect, and the owner of the stack.
    if (!Watch(device_.path, &BleLinkBackend::OnDeviceChanged, deviceSlot_) ||
        sd_bus_add_match_async(bus_->Bus(), &ownerSlot_,
                               "type='signal',sender='org.freedesktop.DBus',"
                               "member='NameOwnerChanged',arg0='org.bluez'",
                               &BleLinkBackend::OnOwnerChanged, nullptr, this) < 0) {
      return Fail("cannot watch the device");
    }
    if (!device_.connected) {
      const BusReply reply = bus_->Call(device_.path, kDeviceInterface, "Connect", by, stop_);
      if (!reply.Ok())
        return Fail(reply.error.empty() ? "the connection took too long" : reply.error);
      device_.connected = true;
    }
    while (!device_.servicesResolved && !lost_ && bus_->Pump(by, stop_)) {
    }
    if (!device_.servicesResolved) return Fail("the device's services were not resolved");
    if (!bus_->ManagedObjects(objects, by, stop_))
      return Fail("the Bluetooth stack did not answer");
    const std::optional<BleChannel> channel = ChooseBleChannel(ServicesOf(objects, device_.path));
    if (!channel) return Fail("the device has no serial service");
    channel_ = *channel;
    // BlueZ sends the first notifications right after StartNotify: the match must be there
    // first, and the bus keeps the order of the two.
    if (!Watch(channel_.notifyHandle, &BleLinkBackend::OnValueChanged, valueSlot_)) {
      return Fail("cannot watch the characteristic");
    }
    const BusReply started =
        bus_->Call(channel_.notifyHandle, kGattCharacteristicInterface, "StartNotify", by, stop_);
    if (!started.Ok())
      return Fail(started.error.empty() ? "notifications did not start" : started.error);
    notifying_ = true;
    return lost_ ? Fail("the device disconnected") : 0;
  }

  void Close() override {
    if (bus_) {
      const Deadline by = Deadline::After(kReleaseBound);
      if (notifying_ && !lost_) {
        (void)bus_->Call(channel_.notifyHandle, kGattCharacteristicInterface, "StopNotify", by, {});
      }
      if (device_.connected && !lost_) {
        (void)bus_->Call(device_.path, kDeviceInterface, "Disconnect", by, {});
      }
    }
    for (sd_bus_slot** slot : {&deviceSlot_, &valueSlot_, &ownerSlot_}) {
      *slot = sd_bus_slot_unref(*slot);
    }
    bus_.reset();
    queue_.Clear();
    device_ = {};
    channel_ = {};
    notifying_ = false;
    lost_ = false;
  }

  bool Write(const char* data, std::size_t n, const Deadline& deadline,
             const StopToken& stop) override {
    if (!Usable()) return false;
    const char* type = channel_.writeType == BleWriteType::kCommand ? "command" : "request";
    return WriteInChunks(
        data, n, kBleChunkBytes, deadline, stop,
        [&](const char* chunk, std::size_t size, const Deadline& by, const StopToken& s) {
          const auto fill = [&](sd_bus_message* m) {
            return sd_bus_message_append_array(m, 'y', chunk, size) >= 0 &&
                   sd_bus_message_append(m, "a{sv}", 1, "type", "s", type) >= 0;
          };
          const BusReply reply = bus_->Call(channel_.writeHandle, kGattCharacteristicInterface,
                                            "WriteValue", fill, by, s);
          NoteBroken();
          return reply.Ok() && !lost_;
        });
  }

  std::size_t ReadSome(char* buffer, std::size_t n, const Deadline& deadline,
                       const StopToken& stop) override {
    if (!bus_) return 0;
    return ReadNotified(queue_, buffer, n, deadline, stop,
                        [this](const Deadline& by, const StopToken& s) {
                          if (lost_) return false;
                          const bool handled = bus_->Pump(by, s);
                          NoteBroken();
                          return handled && !lost_;
                        });
  }

  SerialOpenError LastOpenError() const override { return openError_; }
  bool DeviceLost() const override { return lost_; }

 private:
  using Handler = int (*)(sd_bus_message*, void*, sd_bus_error*);

  bool Usable() const { return bus_ && notifying_ && !lost_; }

  int Fail(const std::string& reason) {
    // The device is put back as it was found: nothing is held after a failed open.
    Close();
    openError_ = {false, reason};
    return 1;
  }

  void NoteBroken() {
    if (bus_ && bus_->Broken()) lost_ = true;
  }

  static bool EqualAddress(const std::string& a, const std::string& b) {
    return a.size() == b.size() && strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
  }

  bool Watch(const std::string& path, Handler handler, sd_bus_slot*& slot) {
    return sd_bus_match_signal_async(bus_->Bus(), &slot, nullptr, path.c_str(),
                                     kPropertiesInterface, "PropertiesChanged", handler, nullptr,
                                     this) >= 0;
  }

  static int OnDeviceChanged(sd_bus_message* m, void* self, sd_bus_error*) {
    auto* link = static_cast<BleLinkBackend*>(self);
    const char* interface = nullptr;
    if (sd_bus_message_read_basic(m, 's', &interface) < 0 ||
        std::strcmp(interface, kDeviceInterface) != 0) {
      return 0;
    }
    const bool wasConnected = link->device_.connected;
    (void)ReadBluezProperties(m, kDeviceInterface, link->device_);
    // Connected going false is the adapter's hang-up, also while the open still waits.
    if (wasConnected && !link->device_.connected) link->lost_ = true;
    return 0;
  }

  static int OnValueChanged(sd_bus_message* m, void* self, sd_bus_error*) {
    (void)ReadValueChange(m, static_cast<BleLinkBackend*>(self)->queue_);
    return 0;
  }

  static int OnOwnerChanged(sd_bus_message*, void* self, sd_bus_error*) {
    // The stack went away or was restarted: the connection is gone with it.
    static_cast<BleLinkBackend*>(self)->lost_ = true;
    return 0;
  }

  StopToken stop_;
  Deadline connectBy_;
  std::unique_ptr<BluezBus> bus_;
  sd_bus_slot* deviceSlot_ = nullptr;
  sd_bus_slot* valueSlot_ = nullptr;
  sd_bus_slot* ownerSlot_ = nullptr;
  BluezObject device_;
  BleChannel channel_;
  BleByteQueue queue_;
  bool notifying_ = false;
  bool lost_ = false;
  SerialOpenError openError_;
};

}  // namespace

std::unique_ptr<SerialBackend> MakeBleLinkBackend(const StopToken& stop,
                                                  const Deadline& connectBy) {
  return std::make_unique<BleLinkBackend>(stop, connectBy);
}

}  // namespace morvanix
