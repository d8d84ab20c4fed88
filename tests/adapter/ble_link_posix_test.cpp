// The BLE link against the fake BlueZ on a private bus: the same answers as over a serial
// port for every layout, the refusals it never meets, a disconnect, and the open's bounds.
#include <stdlib.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

#include "adapter/adapter_discovery.h"
#include "adapter/adapter_exchange.h"
#include "adapter/ble_bluez_posix.h"
#include "adapter/ble_link.h"
#include "adapter/serial_port.h"
#include "fake_bluez.h"
#include "private_bus.h"
#include "sim_ports.h"
#include "stop_later.h"

using namespace morvanix;
using namespace std::chrono_literals;

namespace {

// No test of this binary may reach the machine's own bus: unless a test gives its private
// one, the address leads nowhere.
const bool kNoMachineBus = [] {
  return setenv("DBUS_SYSTEM_BUS_ADDRESS", kNoBusAddress, 1) == 0;
}();

constexpr const char* kAddress = "00:1D:A5:68:98:8A";
constexpr const char* kName = "ble:00:1D:A5:68:98:8A";

// A private bus with the fake stack on it, in front of a simulated adapter (none for a
// printer), made the process's system bus for the life of the object.
struct BleRig {
  explicit BleRig(FakeBluezOptions options, AdapterProfile profile = AdapterProfile::kElm,
                  bool printer = false) {
    if (!bus.Start()) return;
    setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.Address().c_str(), 1);
    if (!printer) {
      sim = std::make_unique<AdapterSimulator>(FastAdapterSimOptions(profile));
      if (!sim->Start()) return;
      options.terminalPath = sim->slavePath();
    }
    options.busAddress = bus.Address();
    fake = std::make_unique<FakeBluez>(options);
    ready = fake->Start();
  }
  ~BleRig() {
    if (fake) fake->Stop();
    setenv("DBUS_SYSTEM_BUS_ADDRESS", kNoBusAddress, 1);
  }
  PrivateBus bus;
  std::unique_ptr<AdapterSimulator> sim;
  std::unique_ptr<FakeBluez> fake;
  bool ready = false;
};

FakeBluezOptions Layout(BleLayout layout) {
  FakeBluezOptions options;
  options.layout = layout;
  return options;
}

TEST(BleLink, AnswersAreThoseOfTheSerialPortInEveryLayout) {
  // Commands whose answers do not change with time; the long one goes out in two chunks.
  const char* commands[] = {"ATZ", "ATE0", "0100", "0902", "ATRV", "A T                      I"};
  SimulatedComPorts ports;
  ASSERT_NE(ports.Add(3, AdapterProfile::kElm), nullptr);
  SerialPort serial("\\\\.\\COM3", 38400, 8, 'N', 1.0f);
  ASSERT_EQ(serial.Open(), 0);
  for (BleLayout layout :
       {BleLayout::kFff0, BleLayout::kFfe0, BleLayout::k18f0, BleLayout::kE781}) {
    SCOPED_TRACE(BleLayoutName(layout));
    BleRig rig(Layout(layout));
    ASSERT_TRUE(rig.ready) << rig.bus.error() << rig.fake->error();
    SerialPort ble(kName, 38400, 8, 'N', 1.0f);
    ASSERT_EQ(ble.Open(), 0) << ble.LastOpenError().reason;
    ExchangeCommand("ATZ", &serial);
    for (const char* command : commands) {
      SCOPED_TRACE(command);
      const std::string overSerial = ExchangeCommand(command, &serial);
      EXPECT_FALSE(overSerial.empty());
      EXPECT_EQ(ExchangeCommand(command, &ble), overSerial);
    }
    EXPECT_EQ(rig.fake->WritesRefused(), 0);
    // The multi-frame answers came in several notifications (the VIN's alone needs five).
    EXPECT_GT(rig.fake->Notifications(), 5);
    ble.Close();
    EXPECT_FALSE(rig.fake->Connected());  // the port's close lets the device go
  }
}

TEST(BleLink, DisconnectIsALostDevice) {
  BleRig rig(Layout(BleLayout::kFff0), AdapterProfile::kUnplug);
  ASSERT_TRUE(rig.ready);
  SerialPort ble(kName, 38400, 8, 'N', 1.0f);
  ASSERT_EQ(ble.Open(), 0) << ble.LastOpenError().reason;
  // The exchange closes a port whose device was lost.
  int exchanges = 0;
  while (exchanges < 12 && ble.IsOpen()) {
    ExchangeCommand("ATRV", &ble);
    ++exchanges;
  }
  EXPECT_TRUE(rig.sim->Vanished());
  EXPECT_FALSE(ble.IsOpen());
  EXPECT_LE(exchanges, 10);
  EXPECT_EQ(ble.Open(), 1);  // out of reach now
}

TEST(BleLink, OpenFailsQuicklyAndHoldsNothing) {
  struct Case {
    const char* label;
    bool stack;
    FakeBluezOptions options;
    const char* name;
    std::chrono::milliseconds within;
  };
  FakeBluezOptions off;
  off.powered = false;
  FakeBluezOptions unseen;
  unseen.known = false;
  const Case cases[] = {
      {"no bus at all", false, {}, kName, 50ms},
      {"no device of that address", true, {}, "ble:00:1D:A5:00:00:01", 500ms},
      {"not yet seen by a scan", true, unseen, kName, 500ms},
      {"adapter powered off", true, off, kName, 500ms},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::unique_ptr<BleRig> rig;
    if (c.stack) {
      rig = std::make_unique<BleRig>(c.options);
      ASSERT_TRUE(rig->ready);
    }
    SerialPort ble(c.name, 38400, 8, 'N', 1.0f);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ble.Open(), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, c.within);
    EXPECT_FALSE(ble.IsOpen());
    EXPECT_FALSE(ble.LastOpenError().reason.empty());
    if (rig) {
      EXPECT_FALSE(rig->fake->Connected());
    }
  }
}

// A connect that the stack never answers ends at the stop or at the caller's deadline, both
// given to a port opened by name, long before the link's own bound.
TEST(BleLink, StopOrDeadlineEndsAConnectAtOnce) {
  struct Case {
    const char* label;
    bool stop;  // a stop after 200 ms
    std::chrono::milliseconds deadline;
  };
  const Case cases[] = {{"the stop", true, 0ms}, {"the deadline", false, 200ms}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    FakeBluezOptions hangs;
    hangs.connectNeverAnswers = true;
    BleRig rig(hangs);
    ASSERT_TRUE(rig.ready);
    StopSource stop;
    SerialPort ble;
    ble.SetPortName(kName);
    const auto start = std::chrono::steady_clock::now();
    StopLater later(stop, 200ms, c.stop);
    const Deadline by = c.stop ? Deadline::Never() : Deadline::After(c.deadline);
    EXPECT_EQ(ble.Open(stop.Token(), by), 1);
    EXPECT_EQ(ble.LastOpenError().reason, "the connection took too long");
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 200ms);
    EXPECT_LT(took, 2s);
  }
}

// What the fake refuses, the link never sends: BlueZ's own errors for the two faults.
TEST(FakeBluez, RefusesLongWritesAndMissingWriteTypes) {
  struct Case {
    BleLayout layout;
    std::size_t bytes;
    const char* type;
    const char* error;  // "" accepted
  };
  const Case cases[] = {
      {BleLayout::kFff0, 20, "command", ""},
      {BleLayout::kFff0, 21, "command", "org.bluez.Error.InvalidValueLength"},
      {BleLayout::k18f0, 4, "request", ""},
      {BleLayout::k18f0, 4, "command", "org.bluez.Error.NotSupported"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(BleLayoutName(c.layout)) + " " + c.type + " " +
                 std::to_string(c.bytes));
    BleRig rig(Layout(c.layout));
    ASSERT_TRUE(rig.ready);
    std::unique_ptr<BluezBus> bus = BluezBus::Connect();
    ASSERT_NE(bus, nullptr);
    std::vector<BluezObject> objects;
    ASSERT_TRUE(bus->ManagedObjects(objects, Deadline::After(2s), {}));
    std::string device;
    std::string writable;
    for (const BluezObject& o : objects) {
      if (o.device) device = o.path;
      if (o.characteristic && (o.flags.write || o.flags.writeWithoutResponse)) writable = o.path;
    }
    ASSERT_TRUE(bus->Call(device, kDeviceInterface, "Connect", Deadline::After(2s), {}).Ok());
    const std::string data(c.bytes, 'A');
    const BusReply reply =
        bus->Call(writable, kGattCharacteristicInterface, "WriteValue",
                  [&](sd_bus_message* m) {
                    return sd_bus_message_append_array(m, 'y', data.data(), data.size()) >= 0 &&
                           sd_bus_message_append(m, "a{sv}", 1, "type", "s", c.type) >= 0;
                  },
                  Deadline::After(2s), {});
    EXPECT_EQ(reply.error, c.error);
  }
}

}  // namespace

namespace {

struct BleDiscoveryCase {
  const char* label;
  FakeBluezOptions options;
  bool named;
  bool found;
  int scans;       // LE scans the check started
  bool connected;  // the device connected after the check (the shared port holds it)
};

void PrintTo(const BleDiscoveryCase& c, std::ostream* os) {
  *os << c.label;
}

FakeBluezOptions With(void (*change)(FakeBluezOptions&)) {
  FakeBluezOptions options;
  change(options);
  return options;
}

class BleDiscovery : public ::testing::TestWithParam<BleDiscoveryCase> {};

TEST_P(BleDiscovery, CandidatesAreConnectedProbedAndLetGo) {
  const BleDiscoveryCase& c = GetParam();
  SimulatedComPorts noSerialAdapters;
  BleRig rig(c.options);
  ASSERT_TRUE(rig.ready);
  std::optional<NamedAdapter> named;
  if (c.named) named = ParseAdapterName(kName, nullptr);
  SerialPort adapterPort;
  std::atomic<bool> connected{false};
  const std::optional<std::string> discovered =
      DiscoverAdapter(&adapterPort, &connected, StopToken{}, named);
  EXPECT_EQ(discovered.value_or(""), c.found ? "ELM327 v1.5 on BLE 00:1D:A5:68:98:8A" : "");
  EXPECT_EQ(connected.load(), c.found);
  EXPECT_EQ(rig.fake->ScansStarted(), c.scans);
  EXPECT_FALSE(rig.fake->Discovering());  // no scan outlives the check
  EXPECT_EQ(rig.fake->Connected(), c.connected);
  // Neither a phone nor a device on an adapter that is off is ever connected; the adapter
  // once, by its probe, whose link the shared port takes over.
  EXPECT_EQ(rig.fake->Connects(), c.found ? 1 : 0);
  if (c.found) {
    EXPECT_EQ(ExchangeCommand("ATRV", &adapterPort), "12.6V");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Stack, BleDiscovery,
    ::testing::Values(
        BleDiscoveryCase{"known adapter", {}, false, true, 0, true},
        BleDiscoveryCase{"named adapter", {}, true, true, 0, true},
        BleDiscoveryCase{"found by a scan", With([](FakeBluezOptions& o) { o.known = false; }),
                         false, true, 1, true},
        BleDiscoveryCase{"known by its name alone",
                         With([](FakeBluezOptions& o) { o.advertiseService = false; }), false, true,
                         0, true},
        BleDiscoveryCase{"powered off: left so, no scan",
                         With([](FakeBluezOptions& o) { o.powered = false; }), false, false, 0,
                         false},
        // Neither service nor name: never connected; the scan finds nothing new in 4 s.
        BleDiscoveryCase{"a phone", With([](FakeBluezOptions& o) {
                           o.advertiseService = false;
                           o.name = "Pixel 7";
                         }),
                         false, false, 1, false}),
    [](const ::testing::TestParamInfo<BleDiscoveryCase>& info) {
      std::string name;
      for (const char* p = info.param.label; *p != '\0' && *p != ':'; ++p) {
        if (std::isalnum(static_cast<unsigned char>(*p))) name += *p;
      }
      return name;
    });

// Without a Bluetooth stack the BLE step costs the check next to nothing.
TEST(BleDiscoveryCost, NoStackAnswersAtOnce) {
  for (bool bus : {false, true}) {
    SCOPED_TRACE(bus ? "a bus without BlueZ" : "no bus");
    PrivateBus privateBus;
    if (bus) {
      ASSERT_TRUE(privateBus.Start());
      setenv("DBUS_SYSTEM_BUS_ADDRESS", privateBus.Address().c_str(), 1);
    }
    const auto start = std::chrono::steady_clock::now();
    std::unique_ptr<BleCandidateSource> source = MakePlatformBleCandidateSource();
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(source, nullptr);
    EXPECT_LT(took, 50ms);
    setenv("DBUS_SYSTEM_BUS_ADDRESS", kNoBusAddress, 1);
  }
}

// The BLE step as a whole ends at its bound: a connect that is never answered or a device
// that never answers the reset takes no longer, and no scan starts after it.
TEST(BleDiscoveryCost, TheStepEndsAtItsBound) {
  struct Case {
    const char* label;
    bool hangs;    // Connect never answered (a known adapter out of range)
    bool printer;  // connects, answers nothing
    std::chrono::milliseconds bound;
    bool found;
  };
  const Case cases[] = {
      {"a connect never answered", true, false, 600ms, false},
      {"a device silent to the reset", false, true, 600ms, false},
      {"an adapter within the bound", false, false, 600ms, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    SimulatedComPorts noSerialAdapters;
    FakeBluezOptions options;
    options.connectNeverAnswers = c.hangs;
    BleRig rig(options, AdapterProfile::kElm, c.printer);
    ASSERT_TRUE(rig.ready);
    SerialPort adapterPort;
    std::atomic<bool> connected{false};
    const auto start = std::chrono::steady_clock::now();
    const std::optional<std::string> discovered =
        detail::DiscoverAdapter(&adapterPort, &connected, StopToken{}, std::nullopt, c.bound);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(discovered.has_value(), c.found);
    EXPECT_EQ(connected.load(), c.found);
    EXPECT_LT(took, c.bound + 1s);  // not the connect's 5 s or the probe's 4 s
    EXPECT_EQ(rig.fake->Connects(), 1);
    EXPECT_EQ(rig.fake->ScansStarted(), 0);
    EXPECT_EQ(rig.fake->Connected(), c.found);
  }
}

// A stop in the middle of a scan ends it at once, and the scan is stopped.
TEST(BleDiscoveryCost, StopEndsAScan) {
  FakeBluezOptions phone;
  phone.advertiseService = false;
  phone.name = "Pixel 7";
  BleRig rig(phone);
  ASSERT_TRUE(rig.ready);
  std::unique_ptr<BleCandidateSource> source = MakePlatformBleCandidateSource();
  ASSERT_NE(source, nullptr);
  StopSource stop;
  const auto start = std::chrono::steady_clock::now();
  StopLater later(stop, 200ms);
  EXPECT_TRUE(source->Scan({}, Deadline::After(4s), stop.Token()).empty());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  EXPECT_EQ(rig.fake->ScansStarted(), 1);
  EXPECT_FALSE(rig.fake->Discovering());
}

}  // namespace
