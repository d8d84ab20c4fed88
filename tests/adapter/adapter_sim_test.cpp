// The simulated adapter's profiles of real adapters: what the engine answers and how the
// simulator delivers it over its pseudo-terminal.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "adapter_simulator.h"
#include "elm_engine.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string Joined(const std::vector<AnswerChunk>& chunks) {
  std::string all;
  for (const AnswerChunk& chunk : chunks) all += chunk.bytes;
  return all;
}

std::vector<int> Delays(const std::vector<AnswerChunk>& chunks) {
  std::vector<int> delays;
  for (const AnswerChunk& chunk : chunks) delays.push_back(chunk.delayMs);
  return delays;
}

TEST(SimulatedAdapterEngine, ProfilesShapeTheAnswer) {
  const struct {
    AdapterProfile profile;
    std::vector<std::string> before;
    std::string command;
    std::string begins;
    std::size_t minBytes;
    std::vector<int> delays;  // empty: not checked
    int ecuDelayMs = -1;
  } cases[] = {
      // Without quirks an answer is one piece, as it always was.
      {AdapterProfile::kElm, {"0100"}, "03", "010\r0: 43 07", 101, {0}},
      {AdapterProfile::kBusy, {"0100"}, "0105", "41 05 7B \r", 0, {0, 200}},
      {AdapterProfile::kBusy, {"0100", "ATST19"}, "0105", "41 05 7B \r", 0, {0, 100}},
      // Three ECUs: frames 25/50 ms apart, further ECUs 120 ms later, AT ST before the prompt.
      {AdapterProfile::kMultiEcu,
       {"ATH1", "0100"},
       "03",
       "7E8 10 10 43",
       101,
       {0, 25, 50, 120, 120, 200}},
      {AdapterProfile::kMultiEcu, {"0100"}, "0601", "06D\r0: 46 01", 101, {}},
      {AdapterProfile::kBusInit,
       {},
       "0100",
       "BUS INIT: ...OK\r41 00",
       0,
       {0, 500, 500, 500, 500, 0, 0, 200}},
      // 24 "response pending" lines, 50 ms apart, then the answer.
      {AdapterProfile::kPending,
       {"0100"},
       "0101",
       "7F 01 78 \r7F 01 78 \r",
       24 * 10 + 19,
       {0,  50, 50, 50, 50, 50, 50, 50, 50, 50, 50, 50, 50,
        50, 50, 50, 50, 50, 50, 50, 50, 50, 50, 50, 50, 200}},
      {AdapterProfile::kNul, {}, "ATI", std::string("\0ELM327", 7), 0, {0}},
      // A fixed ECU delay: the whole answer at once after it, the prompt right after.
      {AdapterProfile::kBusy, {"0100"}, "0105", "41 05 7B \r", 0, {32}, 32},
      {AdapterProfile::kMultiEcu, {"0100"}, "03", "010\r0: 43 07", 101, {32}, 32},
      {AdapterProfile::kElm, {"0100"}, "ATRV", "12.6V", 0, {0}, 32},
  };
  for (const auto& c : cases) {
    ElmTimings timings;
    timings.ecuDelayMs = c.ecuDelayMs;
    ElmEngine engine(c.profile, timings);
    for (const std::string& command : c.before) engine.Answer(command);
    const std::vector<AnswerChunk> chunks = engine.Answer(c.command);
    const std::string all = Joined(chunks);
    const std::string label = std::string(AdapterProfileName(c.profile)) + " " + c.command;
    EXPECT_EQ(all.rfind(c.begins, 0), 0u) << label << ": " << all;
    EXPECT_GE(all.size(), c.minBytes) << label;
    EXPECT_EQ(all.substr(all.size() - 2), "\r>") << label;
    if (!c.delays.empty()) {
      EXPECT_EQ(Delays(chunks), c.delays) << label;
    }
  }
}

TEST(SimulatedAdapterEngine, EchoAndLineFeedsAfterReset) {
  const struct {
    AdapterProfile profile;
    bool echoAtStart;
    bool lineFeeds;
  } cases[] = {
      {AdapterProfile::kElm, true, false},
      {AdapterProfile::kEchoOff, false, false},  // another program's ATE0; ATZ undoes it
      {AdapterProfile::kCrLf, true, true},
  };
  for (const auto& c : cases) {
    ElmEngine engine(c.profile, ElmTimings{0, 0});
    EXPECT_EQ(engine.EchoOn(), c.echoAtStart) << AdapterProfileName(c.profile);
    engine.Answer("ATZ");
    EXPECT_TRUE(engine.EchoOn()) << AdapterProfileName(c.profile);
    EXPECT_EQ(engine.LineFeedsOn(), c.lineFeeds) << AdapterProfileName(c.profile);
  }
}

// The host's end of the simulator's terminal, raw, at a chosen speed.
class Host {
 public:
  explicit Host(const std::string& path, speed_t speed = B38400) {
    fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios tio{};
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    tcsetattr(fd, TCSANOW, &tio);
  }
  ~Host() {
    if (fd >= 0) ::close(fd);
  }
  void Send(const std::string& text) const { (void)!::write(fd, text.data(), text.size()); }
  // Reads until the prompt, a hang-up or the wait; each read's size and time are kept.
  std::string Read(int waitMs, const std::string& until = ">") {
    std::string got;
    const auto end = Clock::now() + std::chrono::milliseconds(waitMs);
    while (Clock::now() < end && got.find(until) == std::string::npos) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 5) <= 0) continue;
      if ((p.revents & POLLHUP) != 0) {
        hungUp = true;
        break;
      }
      char buffer[256];
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n <= 0) continue;
      reads.push_back({Clock::now(), static_cast<std::size_t>(n)});
      got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
  }

  struct Arrival {
    Clock::time_point at;
    std::size_t bytes;
  };
  int fd = -1;
  bool hungUp = false;
  std::vector<Arrival> reads;
};

struct Started {
  explicit Started(AdapterSimOptions options) : sim(std::move(options)) { ok = sim.Start(); }
  AdapterSimulator sim;
  bool ok = false;
};

TEST(SimulatedAdapterLink, BusyAdapterStopsOnEarlyInput) {
  Started s(FastAdapterSimOptions(AdapterProfile::kBusy));
  ASSERT_TRUE(s.ok) << s.sim.error();
  Host host(s.sim.slavePath());
  // A long AT ST wait (1020 ms) leaves the test ample time to come in before the prompt.
  host.Send("ATSTFF\r");
  host.Read(500);
  host.Send("0100\r");
  const std::string first = host.Read(1000, "80 10 \r");  // the answer is in, no prompt yet
  EXPECT_EQ(first.find('>'), std::string::npos) << first;
  host.Send("0105\r");  // the interrupting byte is lost: the adapter then reads "105"
  std::string rest = host.Read(500);
  if (rest.find("105\r") == std::string::npos) rest += host.Read(500);
  EXPECT_EQ(rest.rfind("STOPPED\r\r>105\r", 0), 0u) << rest;
  EXPECT_EQ(s.sim.InterleavedCommands(), 1u);
}

TEST(SimulatedAdapterLink, ConfiguredSpeedOnly) {
  const struct {
    speed_t hostSpeed;
    bool understood;
  } cases[] = {{B38400, false}, {B9600, true}};
  for (const auto& c : cases) {
    Started s(FastAdapterSimOptions(AdapterProfile::kBaud9600));
    ASSERT_TRUE(s.ok) << s.sim.error();
    Host host(s.sim.slavePath(), c.hostSpeed);
    host.Send("ATZ\r");
    const std::string got = host.Read(300);
    EXPECT_EQ(got.find("ELM327") != std::string::npos, c.understood) << got;
    EXPECT_EQ(got.empty(), false);  // garbage or the banner, never silence
  }
}

TEST(SimulatedAdapterLink, UnplugHangsUpAfterItsCommands) {
  AdapterSimOptions options = FastAdapterSimOptions(AdapterProfile::kUnplug);
  options.unplugAfter = 2;
  Started s(options);
  ASSERT_TRUE(s.ok) << s.sim.error();
  Host host(s.sim.slavePath());
  for (const char* command : {"ATI\r", "ATRV\r"}) {
    host.Send(command);
    EXPECT_NE(host.Read(500).find('>'), std::string::npos) << command;
    EXPECT_FALSE(host.hungUp);
  }
  host.Send("ATI\r");
  host.Read(500);
  EXPECT_TRUE(host.hungUp);
  EXPECT_TRUE(s.sim.Vanished());
}

TEST(SimulatedAdapterLink, UsbBridgeSendsPacketsOf62BytesEvery16Ms) {
  Started s(FastAdapterSimOptions(AdapterProfile::kUsb));
  ASSERT_TRUE(s.ok) << s.sim.error();
  Host host(s.sim.slavePath());
  // The echo of a long line comes back packet by packet: 248 bytes make four packets.
  const std::string line(247, 'A');
  host.Send(line + "\r");
  const auto sent = Clock::now();
  const std::string got = host.Read(2000);
  EXPECT_EQ(got.rfind(line + "\r?\r\r>", 0), 0u);
  ASSERT_FALSE(host.reads.empty());
  std::size_t echoed = 0;
  for (const Host::Arrival& arrival : host.reads) {
    echoed += arrival.bytes;
    if (echoed < 248) continue;
    // Only a lower bound: a slow machine delays packets, nothing makes them come sooner.
    EXPECT_GE(arrival.at - sent, std::chrono::milliseconds(3 * 16 - 4));
    break;
  }
}

}  // namespace
