// What the Windows BLE side makes of SetupAPI's answers, as pure functions: the address in a
// device's id or interface path, which paired devices are candidates and by which interface
// they open, and the UUID text a GATT service's interface class is made from.
#include "adapter/ble_paired_devices.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "adapter/ble_gatt.h"

using namespace morvanix;

namespace {

TEST(BlePairedDevices, AddressFromDeviceId) {
  const struct {
    const char* id;
    const char* address;
  } cases[] = {
      {"BTHLE\\DEV_001DA568988A\\7&2C7B3A2&0&001DA568988A", "00:1D:A5:68:98:8A"},
      {"\\\\?\\bthle#dev_001da568988a#7&2c7b3a2&0&001da568988a#"
       "{781aee18-7733-4ce4-add0-91f41c67b592}",
       "00:1D:A5:68:98:8A"},
      // A service of the device, in the forms of Windows 8.1 and of Windows 10.
      {"BTHLEDEVICE\\{0000FFF0-0000-1000-8000-00805F9B34FB}_8CDE52A1B2C3\\8&1F0C6E1B&0&0010",
       "8C:DE:52:A1:B2:C3"},
      {"\\\\?\\bthledevice#{0000fff0-0000-1000-8000-00805f9b34fb}_dev_vid&02000a_pid&0000_rev&"
       "0000_8cde52a1b2c3#8&1f0c6e1b&0&0010#{0000fff0-0000-1000-8000-00805f9b34fb}",
       "8C:DE:52:A1:B2:C3"},
      // The base UUID's last group has twelve hex digits too, but inside the braces.
      {"BTHLEDEVICE\\{0000FFE0-0000-1000-8000-00805F9B34FB}\\8&0&0010", ""},
      // A classic device carries an address as well: not one of ours.
      {"BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}_LOCALMFG&000F\\7&1A&0&001DA568988A_"
       "C00000000",
       ""},
      {"USB\\VID_0403&PID_6001\\A50285BI", ""},
      {"BTHLE\\DEV_001DA568988\\7&2C7B3A2&0&0", ""},    // eleven digits
      {"BTHLE\\DEV_001DA568988AB\\7&2C7B3A2&0&0", ""},  // thirteen
      {"BTHLE\\DEV_001DA568988G\\7&2C7B3A2&0&0", ""},   // not hex
      {"BTHLE", ""},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(BleAddressFromDeviceId(c.id), c.address) << c.id;
}

TEST(BlePairedDevices, CandidatesAndTheInterfaceTheyOpenBy) {
  const std::vector<PairedLeDevice> paired = {
      {"AA:BB:CC:DD:EE:01", "Pixel 7", "dev-phone", ""},
      {"00:1D:A5:68:98:8A", "IOS-Vlink", "dev-vlink", "svc-vlink"},
      {"AA:BB:CC:DD:EE:02", "OBDII", "dev-named", ""},
      {"AA:BB:CC:DD:EE:03", "Printer", "dev-printer", "svc-printer"},
      {"AA:BB:CC:DD:EE:04", "v-link", "", ""},  // no interface to open by
      {"", "OBDII", "dev-no-address", "svc-no-address"},
      {"AA:BB:CC:DD:EE:05", "Headset", "dev-headset", ""},
  };
  const struct {
    const char* address;
    const char* name;
    const char* path;
  } expected[] = {
      {"00:1D:A5:68:98:8A", "IOS-Vlink", "svc-vlink"},
      {"AA:BB:CC:DD:EE:02", "OBDII", "dev-named"},
      {"AA:BB:CC:DD:EE:03", "Printer", "svc-printer"},
  };
  const std::vector<BleGattApi::Device> found = PairedCandidates(paired);
  ASSERT_EQ(found.size(), std::size(expected));
  for (std::size_t i = 0; i < found.size(); ++i) {
    EXPECT_EQ(found[i].address, expected[i].address) << i;
    EXPECT_EQ(found[i].name, expected[i].name) << i;
    EXPECT_EQ(found[i].path, expected[i].path) << i;
  }
}

TEST(BlePairedDevices, UuidFields) {
  const struct {
    const char* text;
    std::optional<UuidFields> fields;
    const char* back;
  } cases[] = {
      {"0000fff0-0000-1000-8000-00805f9b34fb",
       UuidFields{0x0000fff0, 0x0000, 0x1000, {0x80, 0x00, 0x00, 0x80, 0x5f, 0x9b, 0x34, 0xfb}},
       "0000fff0-0000-1000-8000-00805f9b34fb"},
      {"E7810A71-73AE-499D-8C15-FAA9AEF0C3F2",
       UuidFields{0xe7810a71, 0x73ae, 0x499d, {0x8c, 0x15, 0xfa, 0xa9, 0xae, 0xf0, 0xc3, 0xf2}},
       "e7810a71-73ae-499d-8c15-faa9aef0c3f2"},
      {"fff0", std::nullopt, ""},
      {"{0000fff0-0000-1000-8000-00805f9b34fb}", std::nullopt, ""},
      {"0000fff0-0000-1000-8000_00805f9b34fb", std::nullopt, ""},
      {"0000fff0-0000-1000-8000-00805f9b34fg", std::nullopt, ""},
      {"0000fff00000-1000-8000-00805f9b34fb-", std::nullopt, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const std::optional<UuidFields> parsed = ParseUuid(c.text);
    ASSERT_EQ(parsed.has_value(), c.fields.has_value());
    if (!parsed) continue;
    EXPECT_EQ(parsed->data1, c.fields->data1);
    EXPECT_EQ(parsed->data2, c.fields->data2);
    EXPECT_EQ(parsed->data3, c.fields->data3);
    EXPECT_EQ(parsed->data4, c.fields->data4);
    EXPECT_EQ(UuidText(*parsed), c.back);
  }
  // Every service the Windows side asks SetupAPI for goes through this.
  for (const std::string& uuid : KnownAdapterServices()) {
    const std::optional<UuidFields> parsed = ParseUuid(uuid);
    ASSERT_TRUE(parsed) << uuid;
    EXPECT_EQ(UuidText(*parsed), uuid);
  }
}

}  // namespace
