#include "adapter/serial_port.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "fake_serial_backend.h"

using namespace morvanix;

namespace {

TEST(SerialSettings, BaudRateSnapsDownToTheList) {
  const struct {
    std::int32_t in;
    std::int32_t stored;
  } cases[] = {
      {38400, 38400},
      {38399, 19200},
      {0, 110},
      {-5, 110},
      {299, 110},
      {300, 300},
      {14400, 14400},
      {20000, 19200},
      {115199, 57600},
      {128000, 128000},
      {255999, 128000},
      {256000, 256000},
      {1000000, 256000},
      {std::numeric_limits<std::int32_t>::max(), 256000},
      {std::numeric_limits<std::int32_t>::min(), 110},
  };
  SerialPort port;
  for (const auto& c : cases) {
    port.SetBaudRate(c.in);
    EXPECT_EQ(port.GetBaudRate(), c.stored) << "argument " << c.in;
  }
}

TEST(SerialSettings, DataBitsParityAndStopBits) {
  SerialPort port;
  for (auto [in, stored] : {std::pair{4, 8}, {5, 5}, {6, 6}, {7, 7}, {8, 8}, {9, 8}, {-1, 8}}) {
    port.SetDataBits(in);
    EXPECT_EQ(port.GetDataBits(), stored) << "argument " << in;
  }
  for (auto [in, stored] : {std::pair{'N', 'N'},
                            {'E', 'E'},
                            {'O', 'O'},
                            {'M', 'M'},
                            {'S', 'S'},
                            {'e', 'N'},
                            {'s', 'N'},
                            {'X', 'N'},
                            {'\0', 'N'}}) {
    port.SetParity('E');
    port.SetParity(in);
    EXPECT_EQ(port.GetParity(), stored) << "argument " << static_cast<int>(in);
  }
  const float inf = std::numeric_limits<float>::infinity();
  for (auto [in, stored] : {std::pair{1.7f, 1.5f},
                            {3.0f, 2.0f},
                            {0.0f, 1.0f},
                            {1.5f, 1.5f},
                            {1.49f, 1.0f},
                            {2.0f, 2.0f},
                            {-1.0f, 1.0f},
                            {inf, 2.0f},
                            {std::nanf(""), 1.0f}}) {
    port.SetStopBits(2.0f);
    port.SetStopBits(in);
    EXPECT_EQ(port.GetStopBits(), stored) << "argument " << in;
  }
}

TEST(SerialSettings, ConstructorsApplyDefaultsAndRules) {
  SerialPort byDefault;
  EXPECT_EQ(byDefault.GetPortName(), "\\\\.\\COM1");
  EXPECT_EQ(byDefault.GetBaudRate(), 9600);
  EXPECT_EQ(byDefault.GetDataBits(), 8);
  EXPECT_EQ(byDefault.GetParity(), 'N');
  EXPECT_EQ(byDefault.GetStopBits(), 1.0f);
  EXPECT_FALSE(byDefault.IsOpen());

  SerialPort given("\\\\.\\COM7", 38399, 9, 'e', 1.7f);
  EXPECT_EQ(given.GetPortName(), "\\\\.\\COM7");
  EXPECT_EQ(given.GetBaudRate(), 19200);
  EXPECT_EQ(given.GetDataBits(), 8);
  EXPECT_EQ(given.GetParity(), 'N');
  EXPECT_EQ(given.GetStopBits(), 1.5f);
}

// Every result code: whether the device stays held, and whether I/O reaches the platform.
TEST(SerialStates, OpenResultDecidesHeldAndReady) {
  for (int code = 0; code <= 9; ++code) {
    FakeSerialRecord record;
    {
      SerialPort port(FakeMaker(record, code));
      EXPECT_EQ(port.Open(), code);
      EXPECT_EQ(port.IsOpen(), code != 1) << "code " << code;
      const bool ready = code == 0;
      EXPECT_EQ(port.Write("AT\r", {}), ready) << "code " << code;
      char byte = 0;
      EXPECT_EQ(port.ReadSome(&byte, 1, Deadline::At(SteadyClock::now()), {}), 0u);
      EXPECT_EQ(port.SetRts(true), ready);
      bool valid = true;
      port.GetCts(valid);
      EXPECT_EQ(valid, ready);
      EXPECT_EQ(record.platformIo, ready ? 4 : 0) << "code " << code;
      // A held or ready port answers a second Open at once with 0, without a new device.
      if (code != 1) {
        EXPECT_EQ(port.Open(), 0);
      }
      EXPECT_EQ(record.made, 1);
    }
    // Whatever Open acquired is released exactly once (by the destructor here).
    EXPECT_EQ(record.closes, code == 1 ? 0 : 1) << "code " << code;
  }
}

// The open error is the failed Open's, kept once the device is dropped and cleared by a
// successful Open; the loss is the held device's and ends with Close.
TEST(SerialStates, OpenErrorAndDeviceLossFollowTheBackend) {
  const struct {
    int code;
    bool busy;
    const char* reason;
  } cases[] = {
      {1, true, "Device or resource busy"},
      {1, false, "No such file or directory"},
      {4, false, "Invalid argument"},
  };
  for (const auto& c : cases) {
    FakeSerialRecord record;
    record.openError = {c.busy, c.reason};
    SerialPort port(FakeMaker(record, c.code));
    EXPECT_EQ(port.Open(), c.code);
    port.Close();
    EXPECT_EQ(port.LastOpenError().busy, c.busy) << c.reason;
    EXPECT_EQ(port.LastOpenError().reason, c.reason);
    EXPECT_FALSE(port.DeviceLost());
  }
  FakeSerialRecord record;
  record.openError = {true, "stale"};
  SerialPort port(FakeMaker(record, 0));
  ASSERT_EQ(port.Open(), 0);
  EXPECT_EQ(port.LastOpenError().reason, "");
  EXPECT_FALSE(port.DeviceLost());
  record.lost = true;
  EXPECT_TRUE(port.DeviceLost());
  port.Close();
  EXPECT_FALSE(port.DeviceLost());
  SerialPort noBackend([] { return std::unique_ptr<SerialBackend>(); });
  EXPECT_EQ(noBackend.Open(), 1);
  EXPECT_FALSE(noBackend.LastOpenError().reason.empty());
}

TEST(SerialStates, CloseTwiceAndReopenAfterFailure) {
  FakeSerialRecord record;
  SerialPort port(FakeMaker(record, 0));
  port.Close();
  EXPECT_EQ(record.made, 0);
  ASSERT_EQ(port.Open(), 0);
  port.Close();
  port.Close();
  EXPECT_EQ(record.closes, 1);
  EXPECT_FALSE(port.IsOpen());
  ASSERT_EQ(port.Open(), 0);
  EXPECT_EQ(record.made, 2);
}

// A hand-over moves the device as it is: no close or open on the way, its settings go with
// it, and a device the target held before is let go.
TEST(SerialStates, HandOverMovesTheDeviceAsItIs) {
  const struct {
    const char* label;
    int code;
    bool targetInUse;
  } cases[] = {{"ready", 0, false}, {"held", 4, false}, {"ready, onto a port in use", 0, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    FakeSerialRecord moved;
    FakeSerialRecord before;
    SerialPort source(FakeMaker(moved, c.code));
    source.SetPortName("ble:00:1D:A5:68:98:8A");
    source.SetBaudRate(38400);
    ASSERT_EQ(source.Open(), c.code);
    SerialPort target(FakeMaker(before, 0));
    if (c.targetInUse) {
      ASSERT_EQ(target.Open(), 0);
    }
    source.HandOver(target);
    EXPECT_FALSE(source.IsOpen());
    EXPECT_TRUE(target.IsOpen());
    EXPECT_EQ(target.GetPortName(), "ble:00:1D:A5:68:98:8A");
    EXPECT_EQ(target.GetBaudRate(), 38400);
    EXPECT_EQ(target.Write("AT\r", {}), c.code == 0);
    EXPECT_EQ(moved.writes.size(), c.code == 0 ? 1u : 0u);
    EXPECT_EQ(before.closes, c.targetInUse ? 1 : 0);
    // The moved device answers Open at once; nothing new is made.
    EXPECT_EQ(target.Open(), 0);
    EXPECT_EQ(moved.opens, 1);
    EXPECT_EQ(moved.closes, 0);
    EXPECT_EQ(before.made, c.targetInUse ? 1 : 0);
    target.Close();
    EXPECT_EQ(moved.closes, 1);
  }
}

TEST(SerialStates, OpenHandsTheStoredSettingsToTheDevice) {
  FakeSerialRecord record;
  SerialPort port(FakeMaker(record, 0));
  port.SetPortName("\\\\.\\COM12");
  port.SetBaudRate(38400);
  port.SetDataBits(7);
  port.SetParity('M');
  port.SetStopBits(2.0f);
  ASSERT_EQ(port.Open(), 0);
  EXPECT_EQ(record.openedName, "\\\\.\\COM12");
  EXPECT_EQ(record.line.baudRate, 38400);
  EXPECT_EQ(record.line.dataBits, 7);
  EXPECT_EQ(record.line.parity, 'M');
  EXPECT_EQ(record.line.stopBits, 2.0f);
  // Settings changed while held stay unapplied until the device is opened again.
  port.SetBaudRate(9600);
  EXPECT_EQ(port.Open(), 0);
  EXPECT_EQ(record.opens, 1);
}

TEST(SerialIo, WritesAreCutAt1024BytesAndNulIsAnEmptyWrite) {
  FakeSerialRecord record;
  SerialPort port(FakeMaker(record, 0));
  ASSERT_EQ(port.Open(), 0);
  const std::string big(2000, 'a');
  EXPECT_TRUE(port.Write(big.c_str(), {}));
  EXPECT_TRUE(port.Write(std::string(1024, 'b').c_str(), {}));
  EXPECT_TRUE(port.WriteChar('\0', {}));
  EXPECT_TRUE(port.WriteChar('Z', {}));
  ASSERT_EQ(record.writes.size(), 4u);
  EXPECT_EQ(record.writes[0], std::string(1024, 'a'));
  EXPECT_EQ(record.writes[1], std::string(1024, 'b'));
  EXPECT_EQ(record.writes[2], "");
  EXPECT_EQ(record.writes[3], "Z");
}

TEST(SerialIo, ModemLinesAndStatusBits) {
  const struct {
    std::uint32_t status;
    bool deviceAnswers;
    bool cts, dsr, ring, rlsd;
  } cases[] = {
      {0x00, true, false, false, false, false},
      {0x10 | 0x80, true, true, false, false, true},
      {0x20 | 0x40, true, false, true, true, false},
      {0xF0, false, false, false, false, false},
  };
  for (const auto& c : cases) {
    FakeSerialRecord record;
    SerialPort port(FakeMaker(record, 0, c.status, c.deviceAnswers));
    ASSERT_EQ(port.Open(), 0);
    bool valid = false;
    EXPECT_EQ(port.GetCts(valid), c.cts);
    EXPECT_EQ(valid, c.deviceAnswers);
    EXPECT_EQ(port.GetDsr(valid), c.dsr);
    EXPECT_EQ(port.GetRing(valid), c.ring);
    EXPECT_EQ(port.GetRlsd(valid), c.rlsd);
    EXPECT_EQ(valid, c.deviceAnswers);
  }
  FakeSerialRecord record;
  SerialPort port(FakeMaker(record, 0));
  ASSERT_EQ(port.Open(), 0);
  port.SetRts(true);
  port.SetDtr(false);
  ASSERT_EQ(record.modemChanges.size(), 2u);
  EXPECT_EQ(record.modemChanges[0], std::make_pair(ModemControlLine::kRts, true));
  EXPECT_EQ(record.modemChanges[1], std::make_pair(ModemControlLine::kDtr, false));
}

}  // namespace
