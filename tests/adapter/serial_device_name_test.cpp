#include "adapter/serial_device_name.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

using namespace morvanix;

namespace {

TEST(SerialDeviceName, ComPortNumbers) {
  const struct {
    const char* name;
    std::optional<int> number;
  } cases[] = {
      {"\\\\.\\COM1", 1},
      {"\\\\.\\COM16", 16},
      {"\\\\.\\COM123", 123},
      {"\\\\.\\COM0", std::nullopt},
      {"\\\\.\\COM01", std::nullopt},
      {"\\\\.\\COM", std::nullopt},
      {"\\\\.\\COM3x", std::nullopt},
      {"\\\\.\\COM-3", std::nullopt},
      {"COM3", std::nullopt},
      {"\\\\.\\com3", std::nullopt},
      {"/dev/ttyUSB0", std::nullopt},
      {"\\\\.\\COM99999999999", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(ComPortNumber(c.name), c.number) << c.name;
}

TEST(SerialDeviceName, ResolvesComNamesToDevices) {
  const std::vector<std::string> dev = {"ttyS0",   "ttyUSB10", "ttyUSB2", "rfcomm0", "ttyACM0",
                                        "ttyUSBx", "tty",      "ttyUSB",  "null",    "rfcomm1"};
  const struct {
    const char* name;
    const char* serialDir;
    const char* path;
  } cases[] = {
      {"\\\\.\\COM3", "/tmp/ports", "/tmp/ports/COM3"},
      {"\\\\.\\COM40", "/tmp/ports", "/tmp/ports/COM40"},
      {"\\\\.\\COM1", nullptr, "/dev/ttyUSB2"},
      {"\\\\.\\COM2", nullptr, "/dev/ttyUSB10"},
      {"\\\\.\\COM3", "", "/dev/ttyACM0"},
      {"\\\\.\\COM4", nullptr, "/dev/rfcomm0"},
      {"\\\\.\\COM5", nullptr, "/dev/rfcomm1"},
      {"\\\\.\\COM6", nullptr, ""},
      {"/dev/ttyS0", nullptr, "/dev/ttyS0"},
      {"/tmp/ports/COM3", "/elsewhere", "/tmp/ports/COM3"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ResolveSerialDevicePath(c.name, c.serialDir, dev), c.path) << c.name;
  }
  EXPECT_EQ(ResolveSerialDevicePath("\\\\.\\COM1", nullptr, {"ttyS0", "ttyS1"}), "");
}

}  // namespace
