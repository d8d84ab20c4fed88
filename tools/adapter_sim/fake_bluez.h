#pragma once

#include <systemd/sd-bus.h>

#include <atomic>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// The GATT layouts of the adapters' radio modules that the fake device can have.
enum class BleLayout { kFff0, kFfe0, k18f0, kE781 };
std::optional<BleLayout> ParseBleLayout(const std::string& name);
const char* BleLayoutName(BleLayout layout);
// Every layout name, for usage texts.
std::string BleLayoutNames();

struct FakeBluezOptions {
  // The bus to serve on; empty: the system bus (DBUS_SYSTEM_BUS_ADDRESS when set).
  std::string busAddress;
  BleLayout layout = BleLayout::kFff0;
  std::string address = "00:1D:A5:68:98:8A";
  std::string name = "OBDII";
  // The simulator's pseudo-terminal that the device's text goes to and comes from; empty for
  // a device that answers nothing (a receipt printer with the same service).
  std::string terminalPath;
  // The device is listed among its known service UUIDs (an adapter that advertises it).
  bool advertiseService = true;
  // The device is known from the start (paired); otherwise it appears only during a scan.
  bool known = true;
  bool powered = true;
  // Connect is never answered, as for a known adapter out of range (BlueZ waits for its LE
  // connection time-out).
  bool connectNeverAnswers = false;
};

// Plays BlueZ on a D-Bus bus, as far as the agent uses it, from a thread of its own: the
// name org.bluez, an ObjectManager on /, one adapter (hci0) and one LE device with a GATT
// service of the chosen layout. Notifications carry at most 20 bytes; a longer write, or a
// write of a type the characteristic lacks, is refused with BlueZ's errors. When the
// terminal goes away (the vanish and unplug profiles) the device disconnects.
class FakeBluez {
 public:
  explicit FakeBluez(FakeBluezOptions options);
  ~FakeBluez();  // Stop()
  FakeBluez(const FakeBluez&) = delete;
  FakeBluez& operator=(const FakeBluez&) = delete;

  // Connects to the bus, takes the name and starts serving. False with error() set.
  bool Start();
  // Ends the thread, which releases the name. Idempotent.
  void Stop();
  const std::string& error() const { return failure_; }

  // Connect calls received, refused ones too.
  int Connects() const { return connects_.load(); }
  bool Connected() const { return connected_.load(); }
  bool Discovering() const { return discovering_.load(); }
  int ScansStarted() const { return scans_.load(); }
  int WritesRefused() const { return refused_.load(); }
  int Notifications() const { return notifications_.load(); }

  struct Characteristic {
    std::string uuid;
    std::vector<std::string> flags;
    std::string path;
    bool notifying = false;
    std::vector<unsigned char> value;
  };

 private:
  void Serve();
  bool Register();
  bool ShowDevice();
  void SetConnected(bool on);
  void Notify(const char* data, std::size_t n);
  void TerminalGone();

  static int Get(sd_bus*, const char* path, const char* interface, const char* property,
                 sd_bus_message* reply, void* self, sd_bus_error*);
  static int OnSetFilter(sd_bus_message* m, void* self, sd_bus_error*);
  static int OnStartDiscovery(sd_bus_message* m, void* self, sd_bus_error*);
  static int OnStopDiscovery(sd_bus_message* m, void* self, sd_bus_error*);
  static int OnConnect(sd_bus_message* m, void* self, sd_bus_error*);
  static int OnDisconnect(sd_bus_message* m, void* self, sd_bus_error*);
  static int OnStartNotify(sd_bus_message* m, void* self, sd_bus_error*);
  static int OnStopNotify(sd_bus_message* m, void* self, sd_bus_error*);
  static int OnWriteValue(sd_bus_message* m, void* self, sd_bus_error*);

  Characteristic* CharacteristicAt(const char* path);

  FakeBluezOptions options_;
  sd_bus* bus_ = nullptr;
  std::vector<sd_bus_slot*> slots_;
  std::string adapterPath_ = "/org/bluez/hci0";
  std::string devicePath_;
  std::string genericServicePath_;
  std::string servicePath_;
  std::string serviceUuid_;
  std::vector<Characteristic> characteristics_;  // [0]: the standard one, then the layout's
  bool shown_ = false;
  bool servicesResolved_ = false;
  int terminal_ = -1;
  int wake_[2] = {-1, -1};
  std::atomic<bool> stopping_{false};
  std::atomic<bool> connected_{false};
  std::atomic<bool> discovering_{false};
  std::atomic<int> connects_{0};
  std::atomic<int> scans_{0};
  std::atomic<int> refused_{0};
  std::atomic<int> notifications_{0};
  std::string failure_;
  std::thread worker_;
};
