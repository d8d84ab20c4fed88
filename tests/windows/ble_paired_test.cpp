// The Windows BLE side on a system with no paired LE device (Wine: its BluetoothApis.dll
// exports every GATT function as a stub that aborts, and SetupAPI lists nothing). The check
// must be as without BLE: no source, quickly, nothing printed, and no GATT call, which here
// would end the process.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "adapter/ble_gatt_api_win32.h"
#include "adapter/ble_link.h"
#include "adapter/serial_backend.h"

using namespace morvanix;
using namespace std::chrono_literals;

namespace {

// Generous beside the 50 ms the check may spend on a real system: the first SetupAPI
// question under Wine starts services of its own.
constexpr auto kBound = 2s;

TEST(BlePairedWindows, NoPairedDeviceIsNoBle) {
  // The first round loads the DLL; the second is a later check's.
  for (const char* round : {"first check", "later check"}) {
    SCOPED_TRACE(round);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const auto start = std::chrono::steady_clock::now();
    const std::unique_ptr<BleCandidateSource> source = MakePlatformBleCandidateSource();
    const auto took = std::chrono::steady_clock::now() - start;
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(source, nullptr);
    EXPECT_LT(took, kBound);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "");
  }
  EXPECT_TRUE(ListPairedLeDevices().empty());
  RecordProperty("bluetoothapis", HaveWin32BleGatt() ? "loaded" : "absent");
}

// A named BLE adapter that is not paired fails to open with its reason, before any GATT call.
TEST(BlePairedWindows, NamedAdapterNotPairedFailsToOpen) {
  std::unique_ptr<SerialBackend> backend = MakeBleLinkBackend(StopToken());
  if (!HaveWin32BleGatt()) {
    EXPECT_EQ(backend, nullptr);
    return;
  }
  ASSERT_NE(backend, nullptr);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_NE(backend->Open("ble:00:1D:A5:68:98:8A", SerialLineSettings{}), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, kBound);
  EXPECT_EQ(backend->LastOpenError().reason, "no paired Bluetooth LE adapter 00:1D:A5:68:98:8A");
  EXPECT_FALSE(backend->LastOpenError().busy);
}

}  // namespace
