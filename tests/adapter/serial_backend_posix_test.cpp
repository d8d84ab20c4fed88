#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <tuple>

#include "adapter/serial_port.h"
#include "adapter/serial_termios_posix.h"
#include "pty_pair.h"

using namespace morvanix;

namespace {

class SerialPosix : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.ok());
    char dir[] = "/tmp/serial-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    tempDir = dir;
  }
  void TearDown() override {
    unsetenv("MORVANIX_SERIAL_DIR");
    std::remove((tempDir + "/plain").c_str());
    std::remove((tempDir + "/COM2").c_str());
    rmdir(tempDir.c_str());
  }
  termios SlaveSettings() const {
    termios tio{};
    tcgetattr(pty.slaveHold, &tio);
    return tio;
  }

  PtyPair pty;
  std::string tempDir;
};

TEST_F(SerialPosix, OpenResultCodes) {
  const std::string plain = tempDir + "/plain";
  std::fclose(std::fopen(plain.c_str(), "w"));
  ASSERT_EQ(symlink(pty.path.c_str(), (tempDir + "/COM2").c_str()), 0);
  const struct {
    std::string name;
    bool serialDir;
    std::int32_t baud;
    int code;
  } cases[] = {
      {tempDir + "/missing", false, 9600, 1},
      {"\\\\.\\COM1", true, 9600, 1},  // no such entry in the folder
      {plain, false, 9600, 2},         // no terminal: the queues cannot be purged
      {pty.path, false, 14400, 4},     // no such rate on this platform
      {pty.path, false, 38400, 0},
      {"\\\\.\\COM2", true, 38400, 0},  // through the folder's link
  };
  for (const auto& c : cases) {
    if (c.serialDir) {
      setenv("MORVANIX_SERIAL_DIR", tempDir.c_str(), 1);
    } else {
      unsetenv("MORVANIX_SERIAL_DIR");
    }
    SerialPort port(c.name, c.baud, 8, 'N', 1.0f);
    EXPECT_EQ(port.Open(), c.code) << c.name;
    EXPECT_EQ(port.IsOpen(), c.code != 1) << c.name;
    EXPECT_EQ(port.LastOpenError().reason.empty(), c.code == 0) << c.name;
    EXPECT_FALSE(port.LastOpenError().busy) << c.name;
    if (c.code >= 2) {
      // Held: the device is kept but nothing goes through it.
      EXPECT_FALSE(port.Write("ATZ\r", {}));
      char byte = 0;
      EXPECT_EQ(port.ReadSome(&byte, 1, Deadline::After(std::chrono::milliseconds(10)), {}), 0u);
    }
    port.Close();
    EXPECT_FALSE(port.IsOpen());
  }
  struct stat st {};
  ASSERT_EQ(stat(plain.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 0);
}

TEST_F(SerialPosix, SecondOpenOfAHeldDeviceFails) {
  SerialPort first(pty.path, 38400, 8, 'N', 1.0f);
  SerialPort second(pty.path, 38400, 8, 'N', 1.0f);
  ASSERT_EQ(first.Open(), 0);
  EXPECT_EQ(second.Open(), 1);
  EXPECT_FALSE(second.IsOpen());
  EXPECT_TRUE(second.LastOpenError().busy);
  EXPECT_EQ(second.LastOpenError().reason, "Device or resource busy");
  first.Close();
  EXPECT_EQ(second.Open(), 0);
  // Closing leaves the device free for the next opener, whatever the holder was.
  second.Close();
  EXPECT_EQ(first.Open(), 0);
}

TEST(SerialTermios, LineSettingsTranslate) {
  const struct {
    SerialLineSettings line;
    bool expressible;
    speed_t speed;
    tcflag_t size;
    tcflag_t parityFlags;
    bool twoStop;
  } cases[] = {
      {{38400, 8, 'N', 1.0f}, true, B38400, CS8, 0, false},
      {{9600, 7, 'E', 2.0f}, true, B9600, CS7, PARENB, true},
      {{115200, 5, 'O', 1.5f}, true, B115200, CS5, PARENB | PARODD, true},
      {{110, 6, 'M', 1.0f}, true, B110, CS6, PARENB | PARODD | CMSPAR, false},
      {{300, 8, 'S', 1.0f}, true, B300, CS8, PARENB | CMSPAR, false},
      {{14400, 8, 'N', 1.0f}, false, 0, 0, 0, false},
      {{128000, 8, 'N', 1.0f}, false, 0, 0, 0, false},
      {{256000, 8, 'N', 1.0f}, false, 0, 0, 0, false},
  };
  for (const auto& c : cases) {
    termios tio{};
    // Whatever the last user left set, cfmakeraw's flags or not.
    tio.c_cflag = CRTSCTS | PARENB | PARODD | CMSPAR | CSTOPB | CS5 | HUPCL;
    tio.c_iflag = ~tcflag_t{0};
    tio.c_oflag = ~tcflag_t{0};
    tio.c_lflag = ~tcflag_t{0};
    ASSERT_EQ(morvanix::MakeLineSettings(c.line, tio), c.expressible) << c.line.baudRate;
    if (!c.expressible) continue;
    EXPECT_EQ(cfgetospeed(&tio), c.speed) << c.line.baudRate;
    EXPECT_EQ(cfgetispeed(&tio), c.speed) << c.line.baudRate;
    EXPECT_EQ(tio.c_cflag & CSIZE, c.size) << c.line.baudRate;
    EXPECT_EQ(tio.c_cflag & (PARENB | PARODD | CMSPAR), c.parityFlags) << c.line.baudRate;
    EXPECT_EQ((tio.c_cflag & CSTOPB) != 0, c.twoStop) << c.line.baudRate;
    EXPECT_EQ(tio.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD | HUPCL), CLOCAL | CREAD);
    EXPECT_EQ(tio.c_iflag, 0u);
    EXPECT_EQ(tio.c_oflag, 0u);
    EXPECT_EQ(tio.c_lflag, 0u);
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 0);
  }
}

// A pseudo-terminal keeps speed, stop bits and modes (it forces 8 data bits, no parity).
TEST_F(SerialPosix, LineSettingsAreAppliedAndPutBack) {
  termios before = SlaveSettings();
  cfsetispeed(&before, B4800);
  cfsetospeed(&before, B4800);
  before.c_lflag |= ICANON;
  before.c_cflag |= CRTSCTS;
  ASSERT_EQ(tcsetattr(pty.slaveHold, TCSANOW, &before), 0);
  for (const auto& [baud, stop, speed] :
       {std::tuple{38400, 1.0f, B38400}, {9600, 2.0f, B9600}, {115200, 1.0f, B115200}}) {
    SerialPort port(pty.path, baud, 8, 'N', stop);
    ASSERT_EQ(port.Open(), 0) << baud;
    const termios now = SlaveSettings();
    EXPECT_EQ(cfgetospeed(&now), speed) << baud;
    EXPECT_EQ((now.c_cflag & CSTOPB) != 0, stop == 2.0f) << baud;
    EXPECT_EQ(now.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(now.c_lflag & (ICANON | ECHO), 0u);
    port.Close();
    const termios after = SlaveSettings();
    EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B4800));
    EXPECT_NE(after.c_lflag & ICANON, 0u);
    EXPECT_NE(after.c_cflag & CRTSCTS, 0u);
  }
}

TEST_F(SerialPosix, WriteSendsAtMost1024BytesAndNulSendsNothing) {
  SerialPort port(pty.path, 38400, 8, 'N', 1.0f);
  ASSERT_EQ(port.Open(), 0);
  const std::string big(2000, 'w');
  EXPECT_TRUE(port.Write(big.c_str(), {}));
  EXPECT_EQ(pty.ReadMaster(4096), std::string(1024, 'w'));
  EXPECT_TRUE(port.WriteChar('\0', {}));
  EXPECT_TRUE(port.WriteChar('Z', {}));
  EXPECT_EQ(pty.ReadMaster(16), "Z");
}

std::size_t ReadNow(SerialPort& port, char* buffer, std::size_t n) {
  return port.ReadSome(buffer, n, Deadline::At(SteadyClock::now()), {});
}

// A read returns on its first byte with what the driver holds, at its deadline or at the
// stop, never at the end of a slice; what came before Open is purged.
TEST_F(SerialPosix, ReadReturnsOnTheFirstByteTheDeadlineOrTheStop) {
  using std::chrono::milliseconds;
  const struct {
    const char* label;
    int writeAfterMs;  // -1: nothing comes
    int stopAfterMs;   // -1: no stop
    int deadlineMs;    // -1: never
    std::string got;
    milliseconds atLeast, below;
  } cases[] = {
      {"held bytes at once", 0, -1, 5000, "41 0C\r>", milliseconds(0), milliseconds(500)},
      {"first byte later", 60, -1, 5000, "41 0C\r>", milliseconds(50), milliseconds(1000)},
      {"deadline", -1, -1, 80, "", milliseconds(80), milliseconds(1000)},
      {"stop", -1, 60, -1, "", milliseconds(50), milliseconds(1000)},
  };
  for (const auto& c : cases) {
    pty.WriteMaster("stale");
    SerialPort port(pty.path, 38400, 8, 'N', 1.0f);
    ASSERT_EQ(port.Open(), 0);
    char buffer[64];
    EXPECT_EQ(ReadNow(port, buffer, sizeof buffer), 0u) << c.label << ": purged at Open";
    if (c.writeAfterMs == 0) {
      pty.WriteMaster("41 0C\r>");
      std::this_thread::sleep_for(milliseconds(20));  // all of it in the driver
    }
    StopSource stop;
    std::thread other([&] {
      if (c.writeAfterMs > 0) {
        std::this_thread::sleep_for(milliseconds(c.writeAfterMs));
        pty.WriteMaster("41 0C\r>");
      }
      if (c.stopAfterMs >= 0) {
        std::this_thread::sleep_for(milliseconds(c.stopAfterMs));
        stop.RequestStop();
      }
    });
    const Deadline deadline =
        c.deadlineMs < 0 ? Deadline::Never() : Deadline::After(milliseconds(c.deadlineMs));
    const auto start = SteadyClock::now();
    std::string got(buffer, port.ReadSome(buffer, sizeof buffer, deadline, stop.Token()));
    const auto took = SteadyClock::now() - start;
    other.join();
    // The rest of a burst that was still arriving is there now.
    if (!got.empty()) got.append(buffer, ReadNow(port, buffer, sizeof buffer));
    EXPECT_EQ(got, c.got) << c.label;
    EXPECT_GE(took, c.atLeast) << c.label;
    EXPECT_LT(took, c.below) << c.label;
  }
}

// A terminal whose other end goes away, as a USB adapter pulled out: the first read or write
// that meets the hang-up marks the device lost; a silent device is not lost.
TEST(SerialPosixLoss, HangUpIsNoticedByTheNextReadOrWrite) {
  enum class Op { kRead, kWrite };
  const struct {
    const char* label;
    bool masterCloses;
    Op op;
    bool lost;
  } cases[] = {
      {"silent, read", false, Op::kRead, false},
      {"silent, write", false, Op::kWrite, false},
      {"hung up, read", true, Op::kRead, true},
      {"hung up, write", true, Op::kWrite, true},
  };
  for (const auto& c : cases) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    SerialPort port(pty.path, 38400, 8, 'N', 1.0f);
    ASSERT_EQ(port.Open(), 0) << c.label;
    if (c.masterCloses) {
      ::close(pty.master);
      pty.master = -1;
    }
    char byte = 0;
    const auto shortWait = [] { return Deadline::After(std::chrono::milliseconds(50)); };
    if (c.op == Op::kRead) {
      EXPECT_EQ(port.ReadSome(&byte, 1, shortWait(), {}), 0u) << c.label;
    } else {
      EXPECT_EQ(port.Write("ATI\r", {}), !c.lost) << c.label;
    }
    EXPECT_EQ(port.DeviceLost(), c.lost) << c.label;
    if (c.lost) {
      EXPECT_FALSE(port.Write("ATI\r", {})) << c.label;
      EXPECT_EQ(port.ReadSome(&byte, 1, shortWait(), {}), 0u);
      EXPECT_TRUE(port.DeviceLost());
    }
    port.Close();
    EXPECT_FALSE(port.DeviceLost()) << c.label;
  }
}

TEST_F(SerialPosix, PseudoTerminalHasNoModemLines) {
  SerialPort port(pty.path, 38400, 8, 'N', 1.0f);
  ASSERT_EQ(port.Open(), 0);
  bool valid = true;
  EXPECT_FALSE(port.GetCts(valid));
  EXPECT_FALSE(valid);
  EXPECT_FALSE(port.GetRlsd(valid));
  EXPECT_FALSE(valid);
  EXPECT_FALSE(port.SetDtr(true));
}

}  // namespace
