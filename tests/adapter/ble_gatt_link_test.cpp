// The BLE link over a GATT API that calls back on its own thread (Windows' functions), through
// a fake of that API: which device it opens, the order of registration, descriptor and
// traffic, chunks and write types, reads that wait on the callback, the deadline and the
// stop, and a device that goes away.
#include "adapter/ble_gatt_link.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "adapter/adapter_exchange.h"
#include "adapter/serial_port.h"
#include "stop_later.h"

using namespace morvanix;
using namespace std::chrono_literals;

namespace {

constexpr const char* kAddress = "00:1D:A5:68:98:8A";

// A paired phone and a paired adapter of one layout. The adapter answers each line it is
// written with "<line>\rOK\r\r>" in 20-byte notifications from a thread of its own.
class FakeGattApi final : public BleGattApi {
 public:
  explicit FakeGattApi(std::vector<BleService> services) : services_(std::move(services)) {}
  ~FakeGattApi() override { JoinSender(); }

  std::vector<Device> PairedDevices() override {
    return {{"AA:BB:CC:DD:EE:FF", "Pixel 7", "phone"}, {"00:1d:a5:68:98:8a", "OBDII", "adapter"}};
  }
  bool OpenDevice(const std::string& path) override {
    Log("open " + path);
    return true;
  }
  void CloseDevice() override { Log("close"); }
  bool Services(std::vector<BleService>& services) override {
    services = services_;
    return true;
  }
  bool RegisterValueChanged(const std::string& handle, ValueChanged onChange,
                            Gone onGone) override {
    Log("register " + handle);
    std::lock_guard<std::mutex> hold(lock_);
    onChange_ = std::move(onChange);
    onGone_ = std::move(onGone);
    return true;
  }
  void UnregisterValueChanged() override {
    JoinSender();
    Log("unregister");
  }
  bool EnableNotifications(const std::string& handle) override {
    Log("descriptor " + handle);
    return true;
  }
  WriteResult WriteValue(const std::string& handle, const char* data, std::size_t n,
                         BleWriteType type, const Deadline&, const StopToken&) override {
    Log("write " + handle + (type == BleWriteType::kCommand ? " command " : " request ") +
        std::to_string(n));
    if (gone_) return WriteResult::kGone;
    line_.append(data, n);
    const std::size_t end = line_.find('\r');
    if (end != std::string::npos) {
      const std::string answer = line_.substr(0, end) + "\rOK\r\r>";
      line_.clear();
      JoinSender();
      sender_ = std::thread([this, answer] {
        for (std::size_t at = 0; at < answer.size(); at += kBleChunkBytes) {
          const std::string part = answer.substr(at, kBleChunkBytes);
          std::lock_guard<std::mutex> hold(lock_);
          onChange_(reinterpret_cast<const unsigned char*>(part.data()), part.size());
        }
      });
    }
    return WriteResult::kDone;
  }

  // The device goes away, told from the API's thread.
  void Unplug() {
    gone_ = true;
    std::thread([this] {
      std::lock_guard<std::mutex> hold(lock_);
      onGone_();
    }).join();
  }

  std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> hold(logLock_);
    return calls_;
  }

 private:
  void Log(const std::string& call) {
    std::lock_guard<std::mutex> hold(logLock_);
    calls_.push_back(call);
  }
  void JoinSender() {
    if (sender_.joinable()) sender_.join();
  }

  std::vector<BleService> services_;
  std::mutex lock_;
  ValueChanged onChange_;
  Gone onGone_;
  std::thread sender_;
  std::string line_;
  bool gone_ = false;
  std::mutex logLock_;
  std::vector<std::string> calls_;
};

const std::vector<BleService> kFff0 = {
    {"fff0", {{"fff1", "n", {.notify = true}}, {"fff2", "w", {.writeWithoutResponse = true}}}}};
const std::vector<BleService> k18f0 = {
    {"18f0", {{"2af0", "n", {.notify = true}}, {"2af1", "w", {.write = true}}}}};

struct Rig {
  explicit Rig(const std::vector<BleService>& services)
      : api(std::make_shared<FakeGattApi>(services)),
        port([api = api] { return MakeBleGattLinkBackend(api); }) {
    port.SetPortName(std::string("ble:") + kAddress);
  }
  std::shared_ptr<FakeGattApi> api;
  SerialPort port;
};

TEST(BleGattLink, OpensThePairedAdapterAndWritesTheDescriptorBeforeTraffic) {
  struct Case {
    const char* label;
    const std::vector<BleService>& services;
    const char* write;  // how a chunk goes out
  };
  const Case cases[] = {{"fff0", kFff0, "write w command "}, {"18f0", k18f0, "write w request "}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Rig rig(c.services);
    ASSERT_EQ(rig.port.Open(), 0) << rig.port.LastOpenError().reason;
    // 25 bytes and the CR: two chunks, each after the one before returned.
    const std::string command = "AT                      I";
    EXPECT_EQ(ExchangeCommand(command, &rig.port), "OK");
    rig.port.Close();
    const std::vector<std::string> expected = {"open adapter",
                                               "register n",
                                               "descriptor n",
                                               std::string(c.write) + "20",
                                               std::string(c.write) + "6",
                                               "unregister",
                                               "close"};
    EXPECT_EQ(rig.api->Calls(), expected);
  }
}

TEST(BleGattLink, ReadWaitsForTheCallbackTheDeadlineOrTheStop) {
  Rig rig(kFff0);
  ASSERT_EQ(rig.port.Open(), 0);
  char buffer[64];
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(rig.port.ReadSome(buffer, sizeof buffer, Deadline::After(100ms), {}), 0u);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms);

  StopSource stop;
  start = std::chrono::steady_clock::now();
  {
    StopLater later(stop, 100ms);
    EXPECT_EQ(rig.port.ReadSome(buffer, sizeof buffer, Deadline::Never(), stop.Token()), 0u);
  }
  const auto stoppedAfter = std::chrono::steady_clock::now() - start;
  EXPECT_GE(stoppedAfter, 100ms);
  EXPECT_LT(stoppedAfter, 5s);

  ASSERT_TRUE(rig.port.Write("ATI\r", {}));
  std::string got;
  while (got.find('>') == std::string::npos) {
    const std::size_t n = rig.port.ReadSome(buffer, sizeof buffer, Deadline::After(2s), {});
    if (n == 0) break;
    got.append(buffer, n);
  }
  EXPECT_EQ(got, "ATI\rOK\r\r>");
}

TEST(BleGattLink, DeviceGoneIsALostDevice) {
  Rig rig(kFff0);
  ASSERT_EQ(rig.port.Open(), 0);
  rig.api->Unplug();
  EXPECT_TRUE(rig.port.DeviceLost());
  char buffer[8];
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(rig.port.ReadSome(buffer, sizeof buffer, Deadline::After(2s), {}), 0u);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);  // at once, not at the deadline
  EXPECT_FALSE(rig.port.Write("ATI\r", {}));
}

TEST(BleGattLink, OpenFailsWithoutAPairedAdapterOrASerialService) {
  struct Case {
    const char* label;
    const char* name;
    std::vector<BleService> services;
    std::vector<std::string> calls;
  };
  const Case cases[] = {
      {"not paired", "ble:00:1D:A5:00:00:01", kFff0, {}},
      {"no serial service",
       "ble:00:1D:A5:68:98:8A",
       {{"180a", {{"2a29", "m", {.write = true}}}}},
       {"open adapter", "close"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Rig rig(c.services);
    rig.port.SetPortName(c.name);
    EXPECT_EQ(rig.port.Open(), 1);
    EXPECT_FALSE(rig.port.LastOpenError().reason.empty());
    EXPECT_EQ(rig.api->Calls(), c.calls);
  }
}

}  // namespace
