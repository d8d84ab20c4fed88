#include "adapter/ble_gatt_link.h"

#include <condition_variable>
#include <mutex>
#include <optional>

#include "adapter/ble_link.h"
#include "adapter/ble_stream.h"

namespace morvanix {

namespace {

// What the API's thread and the reader share; it outlives a late callback.
struct Notified {
  std::mutex lock;
  std::condition_variable_any changed;
  BleByteQueue queue;
  bool gone = false;
};

bool SameAddress(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
    if (upper(a[i]) != upper(b[i])) return false;
  }
  return true;
}

class BleGattLinkBackend final : public SerialBackend {
 public:
  explicit BleGattLinkBackend(std::shared_ptr<BleGattApi> api) : api_(std::move(api)) {}
  ~BleGattLinkBackend() override { Close(); }

  int Open(const std::string& portName, const SerialLineSettings&) override {
    Close();
    openError_ = {};
    const std::string address = BleLinkAddress(portName);
    if (address.empty()) return Fail("not a name of the form ble:<address>");
    std::string path;
    for (const BleGattApi::Device& device : api_->PairedDevices()) {
      if (SameAddress(device.address, address)) path = device.path;
    }
    if (path.empty()) return Fail("no paired Bluetooth LE adapter " + address);
    if (!api_->OpenDevice(path)) return Fail("the device did not open");
    open_ = true;
    std::vector<BleService> services;
    if (!api_->Services(services)) return Fail("the device's services could not be read");
    const std::optional<BleChannel> channel = ChooseBleChannel(services);
    if (!channel) return Fail("the device has no serial service");
    channel_ = *channel;
    notified_ = std::make_shared<Notified>();
    // Registered first, so that nothing the adapter sends after the descriptor is lost.
    std::shared_ptr<Notified> shared = notified_;
    const auto onChange = [shared](const unsigned char* data, std::size_t n) {
      {
        std::lock_guard<std::mutex> hold(shared->lock);
        shared->queue.Push(data, n);
      }
      shared->changed.notify_all();
    };
    const auto onGone = [shared] {
      {
        std::lock_guard<std::mutex> hold(shared->lock);
        shared->gone = true;
      }
      shared->changed.notify_all();
    };
    if (!api_->RegisterValueChanged(channel_.notifyHandle, onChange, onGone)) {
      return Fail("value changes could not be registered");
    }
    registered_ = true;
    if (!api_->EnableNotifications(channel_.notifyHandle)) {
      return Fail("the notification descriptor could not be written");
    }
    return 0;
  }

  void Close() override {
    if (registered_) api_->UnregisterValueChanged();
    if (open_) api_->CloseDevice();
    registered_ = false;
    open_ = false;
    notified_.reset();
    channel_ = {};
  }

  bool Write(const char* data, std::size_t n, const Deadline& deadline,
             const StopToken& stop) override {
    if (!Usable()) return false;
    return WriteInChunks(
        data, n, kBleChunkBytes, deadline, stop,
        [this](const char* chunk, std::size_t size, const Deadline& by, const StopToken& until) {
          const BleGattApi::WriteResult result =
              api_->WriteValue(channel_.writeHandle, chunk, size, channel_.writeType, by, until);
          if (result == BleGattApi::WriteResult::kGone) MarkGone();
          return result == BleGattApi::WriteResult::kDone;
        });
  }

  std::size_t ReadSome(char* buffer, std::size_t n, const Deadline& deadline,
                       const StopToken& stop) override {
    if (!notified_ || n == 0) return 0;
    Notified& shared = *notified_;
    std::unique_lock<std::mutex> hold(shared.lock);
    const auto ready = [&] { return !shared.queue.Empty() || shared.gone; };
    if (deadline.IsNever()) {
      shared.changed.wait(hold, stop.Std(), ready);
    } else {
      shared.changed.wait_until(hold, stop.Std(), deadline.When(), ready);
    }
    return shared.queue.Take(buffer, n);
  }

  SerialOpenError LastOpenError() const override { return openError_; }
  bool DeviceLost() const override {
    if (!notified_) return false;
    std::lock_guard<std::mutex> hold(notified_->lock);
    return notified_->gone;
  }

 private:
  bool Usable() const { return notified_ && registered_ && !DeviceLost(); }

  void MarkGone() {
    {
      std::lock_guard<std::mutex> hold(notified_->lock);
      notified_->gone = true;
    }
    notified_->changed.notify_all();
  }

  int Fail(const std::string& reason) {
    Close();
    openError_ = {false, reason};
    return 1;
  }

  std::shared_ptr<BleGattApi> api_;
  std::shared_ptr<Notified> notified_;
  BleChannel channel_;
  bool open_ = false;
  bool registered_ = false;
  SerialOpenError openError_;
};

}  // namespace

std::unique_ptr<SerialBackend> MakeBleGattLinkBackend(std::shared_ptr<BleGattApi> api) {
  return std::make_unique<BleGattLinkBackend>(std::move(api));
}

}  // namespace morvanix
