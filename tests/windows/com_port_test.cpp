// The Windows serial backend on a real COM device: scripts/test-windows maps the port named
// by MORVANIX_TEST_COM_PORT (for example \\.\COM7) to a simulated adapter on a
// pseudo-terminal, which answers without wire delays.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>

#include "adapter/adapter_discovery.h"
#include "adapter/adapter_exchange.h"
#include "adapter/serial_port.h"
#include "stop_later.h"

using namespace morvanix;

namespace {

using Clock = std::chrono::steady_clock;

// User and kernel time of this process so far.
std::chrono::milliseconds ProcessCpuTime() {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) {
    return std::chrono::milliseconds(0);
  }
  const auto ticks = [](const FILETIME& t) {
    return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  };
  return std::chrono::milliseconds((ticks(kernel) + ticks(user)) / 10000);
}

std::string MappedPortName() {
  const char* name = std::getenv("MORVANIX_TEST_COM_PORT");
  return name == nullptr ? std::string() : std::string(name);
}

class WindowsComPort : public ::testing::Test {
 protected:
  void SetUp() override {
    portName = MappedPortName();
    ASSERT_FALSE(portName.empty())
        << "MORVANIX_TEST_COM_PORT is not set; scripts/test-windows maps the simulator";
    port.SetPortName(portName);
    port.SetBaudRate(38400);
    ASSERT_EQ(port.Open(), 0) << "no simulated adapter on " << portName;
  }

  // Reads until the prompt or until the deadline; returns everything read, after `got`.
  std::string ReadUntilPrompt(std::chrono::milliseconds limit, std::string got = {}) {
    const Deadline deadline = Deadline::After(limit);
    while (got.find('>') == std::string::npos) {
      const std::string some = ReadSome(deadline);
      if (some.empty()) break;
      got += some;
    }
    return got;
  }

  std::string ReadSome(const Deadline& deadline, const StopToken& stop = {}) {
    char buffer[64];
    return std::string(buffer, port.ReadSome(buffer, sizeof buffer, deadline, stop));
  }
  std::string ReadNow() { return ReadSome(Deadline::At(Clock::now())); }

  std::string portName;
  SerialPort port;
};

TEST_F(WindowsComPort, ExchangeReturnsTheAnswerWithoutEchoCarriageReturnsOrPrompt) {
  struct Case {
    const char* command;
    const char* answer;
  };
  const Case cases[] = {
      {"ATI", "ELM327 v1.5"},
      {"ATRV", "12.6V"},
      {"AT@1", "OBDII to RS232 Interpreter"},
      {"ATXYZ", "?"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ExchangeCommand(c.command, &port), c.answer) << c.command;
  }
}

TEST_F(WindowsComPort, ReadReturnsOnTheFirstBytesInOrder) {
  ASSERT_TRUE(port.Write("ATI\r", {}));
  const auto started = Clock::now();
  const std::string first = ReadSome(Deadline::After(std::chrono::seconds(5)));
  EXPECT_FALSE(first.empty());
  EXPECT_LT(Clock::now() - started, std::chrono::seconds(1));
  EXPECT_EQ(ReadUntilPrompt(std::chrono::seconds(5), first), "ATI\rELM327 v1.5\r\r>");
}

// An idle read ends at its deadline or the stop, whatever the driver's own read time-out
// does meanwhile (a read outliving it ends empty and a fresh one follows); the port goes on
// delivering bytes afterwards.
TEST_F(WindowsComPort, IdleReadEndsAtItsDeadlineOrTheStop) {
  using std::chrono::milliseconds;
  for (const int waitMs : {0, 50, 1500}) {
    const auto started = Clock::now();
    const auto cpuBefore = ProcessCpuTime();
    EXPECT_EQ(ReadSome(Deadline::After(milliseconds(waitMs))), "") << waitMs;
    const auto took = Clock::now() - started;
    EXPECT_GE(took, milliseconds(waitMs)) << waitMs;
    EXPECT_LT(took, milliseconds(waitMs + 500)) << waitMs;
    // A wait, not a loop of reads that end at once.
    EXPECT_LT(ProcessCpuTime() - cpuBefore, milliseconds(200)) << waitMs;
  }
  StopSource stop;
  {
    StopLater stopper(stop, milliseconds(50));
    const auto started = Clock::now();
    EXPECT_EQ(ReadSome(Deadline::Never(), stop.Token()), "");
    EXPECT_LT(Clock::now() - started, milliseconds(1000));
  }
  EXPECT_EQ(ExchangeCommand("ATI", &port), "ELM327 v1.5");
}

TEST_F(WindowsComPort, CloseWithAReadOutstandingThenReopen) {
  EXPECT_EQ(ReadNow(), "");  // starts a read that nothing answers
  port.Close();
  EXPECT_FALSE(port.IsOpen());
  port.Close();
  EXPECT_FALSE(port.IsOpen());
  EXPECT_FALSE(port.Write("ATI\r", {}));
  EXPECT_EQ(ReadNow(), "");
  EXPECT_EQ(ExchangeCommand("ATI", &port), "ERROR");

  ASSERT_EQ(port.Open(), 0);
  EXPECT_EQ(ExchangeCommand("ATI", &port), "ELM327 v1.5");
}

// Windows cancels a thread's I/O when the thread ends, and each loopback request runs on a
// thread of its own: the read that thread left outstanding must not hide what came since.
TEST_F(WindowsComPort, ReadLeftByAThreadThatEndedHidesNoInput) {
  std::thread([this] { ReadNow(); }).join();
  ASSERT_TRUE(port.Write("ATI\r", {}));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the answer waits
  std::string got = ReadNow();
  EXPECT_FALSE(got.empty()) << "the first read after the answer came must find it";
  got = ReadUntilPrompt(std::chrono::seconds(5), got);
  EXPECT_EQ(got, "ATI\rELM327 v1.5\r\r>");
}

// The shared port is closed from other threads (a scan, the static destructor) than the one
// whose read is outstanding.
TEST_F(WindowsComPort, CloseOnAnotherThreadEndsTheOutstandingRead) {
  ReadNow();
  const auto started = Clock::now();
  std::thread([this] { port.Close(); }).join();
  EXPECT_LT(Clock::now() - started, std::chrono::seconds(2));
  EXPECT_FALSE(port.IsOpen());
  ASSERT_EQ(port.Open(), 0);
  EXPECT_EQ(ExchangeCommand("ATI", &port), "ELM327 v1.5");
}

TEST_F(WindowsComPort, LongWriteIsCutAndThePortStaysUsable) {
  // 2000 bytes without a carriage return: only the first 1024 go out, and the adapter
  // sees one long unknown command once the carriage return follows.
  const std::string text(2000, 'Z');
  EXPECT_TRUE(port.Write(text.c_str(), {}));
  EXPECT_TRUE(port.WriteChar('\r', {}));
  const std::string got = ReadUntilPrompt(std::chrono::seconds(5));
  ASSERT_GE(got.size(), 1024u);
  EXPECT_EQ(got.substr(0, 1024), std::string(1024, 'Z'));
  EXPECT_EQ(got.substr(1024), "\r?\r\r>");
  EXPECT_EQ(ExchangeCommand("ATI", &port), "ELM327 v1.5");
}

// A pseudo-terminal has no modem lines: the platform refuses the line changes and the
// status query (ERROR_NOT_SUPPORTED), and the port reports that instead of made-up values.
TEST_F(WindowsComPort, ModemLinesOfAPseudoTerminalAreReportedUnavailable) {
  EXPECT_FALSE(port.SetRts(true));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
  EXPECT_FALSE(port.SetDtr(true));
  EXPECT_FALSE(port.SetRts(false));
  EXPECT_FALSE(port.SetDtr(false));

  bool (SerialPort::*const queries[])(bool&) = {&SerialPort::GetCts, &SerialPort::GetDsr,
                                                &SerialPort::GetRing, &SerialPort::GetRlsd};
  for (auto query : queries) {
    bool valid = true;
    EXPECT_FALSE((port.*query)(valid));
    EXPECT_FALSE(valid);
  }
  EXPECT_EQ(ExchangeCommand("ATI", &port), "ELM327 v1.5");
}

TEST(WindowsComPortOpen, DeviceThatDoesNotExistGivesCode1) {
  const char* names[] = {"\\\\.\\COM99", "\\\\.\\NOSUCHPORT", "C:\\no\\such\\device"};
  for (const char* name : names) {
    SerialPort port(name, 38400, 8, 'N', 1.0f);
    EXPECT_EQ(port.Open(), 1) << name;
    EXPECT_FALSE(port.IsOpen()) << name;
    EXPECT_FALSE(port.LastOpenError().busy) << name;
    EXPECT_FALSE(port.LastOpenError().reason.empty()) << name;
  }
}

TEST(WindowsComPortDiscovery, ScanFindsTheSimulatorAndReopensTheSharedPortThere) {
  const std::string mapped = MappedPortName();
  ASSERT_FALSE(mapped.empty());
  const std::string number = mapped.substr(mapped.find("COM") + 3);

  SerialPort shared;
  std::atomic<bool> connected{true};
  EXPECT_EQ(DiscoverAdapter(&shared, &connected, StopToken{}), "ELM327 v1.5 on COM" + number);
  EXPECT_TRUE(connected.load());
  EXPECT_TRUE(shared.IsOpen());
  EXPECT_EQ(shared.GetPortName(), "\\\\.\\COM" + number);
  EXPECT_EQ(shared.GetBaudRate(), 38400);
  EXPECT_EQ(ExchangeCommand("ATI", &shared), "ELM327 v1.5");
}

}  // namespace
