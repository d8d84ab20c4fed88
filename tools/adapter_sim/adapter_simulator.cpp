#include "adapter_simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

// 38400 baud with 10 bits a character.
constexpr auto kByteTime = std::chrono::microseconds(260);
// A USB serial bridge sends at most this much per packet, and a partly filled packet when its
// latency timer runs out.
constexpr std::size_t kPacketBytes = 62;
constexpr auto kPacketEvery = std::chrono::milliseconds(16);
constexpr const char* kStopped = "STOPPED\r\r>";
constexpr std::size_t kMaxLine = 1024;
constexpr int kIdlePollMs = 50;
constexpr auto kStallLimit = std::chrono::seconds(2);
constexpr int kVanishAfterMs = 300;
constexpr const char* kMonitorLine = "7E8 04 41 0C 1A F8 \r";

bool IsObdRequest(const std::string& line) {
  const std::string command = ElmEngine::Normalise(line);
  if (command.empty() || command.size() % 2 != 0) return false;
  for (char c : command) {
    if (std::strchr("0123456789ABCDEF", c) == nullptr) return false;
  }
  return true;
}

int BaudOf(speed_t speed) {
  switch (speed) {
    case B9600:
      return 9600;
    case B19200:
      return 19200;
    case B38400:
      return 38400;
    case B57600:
      return 57600;
    case B115200:
      return 115200;
    case B230400:
      return 230400;
    default:
      return 0;
  }
}

// What a UART at the wrong speed makes of a byte: a framing error's junk, never CR or '>'.
char Garbled(char byte) {
  return static_cast<char>(0x80 | ((static_cast<unsigned char>(byte) * 37u + 11u) & 0x7F));
}

bool HasPrompt(const std::vector<AnswerChunk>& chunks) {
  return !chunks.empty() && !chunks.back().bytes.empty() && chunks.back().bytes.back() == '>';
}

}  // namespace

AdapterSimOptions FastAdapterSimOptions(AdapterProfile profile, std::string linkPath) {
  AdapterSimOptions options;
  options.profile = profile;
  options.linkPath = std::move(linkPath);
  options.timings.resetDelayMs = 0;
  options.timings.searchDelayMs = 0;
  options.wireTiming = false;
  return options;
}

AdapterQuirks WithOverrides(const AdapterSimOptions& options) {
  AdapterQuirks quirks = QuirksOf(options.profile);
  if (options.baudRate >= 0) quirks.baudRate = options.baudRate;
  if (options.unplugAfter >= 0) quirks.unplugAfter = options.unplugAfter;
  return quirks;
}

AdapterSimulator::AdapterSimulator(AdapterSimOptions o)
    : options(std::move(o)),
      quirks(WithOverrides(options)),
      engine(options.profile, quirks, options.timings) {}

AdapterSimulator::~AdapterSimulator() {
  Stop();
}

bool AdapterSimulator::Start() {
  if (worker.joinable()) return true;
  master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    failure = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
    return false;
  }
  char name[128];
  if (ptsname_r(master, name, sizeof name) != 0) {
    failure = "cannot name the pseudo-terminal";
    return false;
  }
  slave = name;
  slaveHold = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slaveHold < 0) {
    failure = "cannot open " + slave + ": " + std::strerror(errno);
    return false;
  }
  termios tio{};
  if (tcgetattr(slaveHold, &tio) == 0) {
    cfmakeraw(&tio);
    cfsetispeed(&tio, B38400);
    cfsetospeed(&tio, B38400);
    (void)tcsetattr(slaveHold, TCSANOW, &tio);
  }
  (void)fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  if (pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    failure = "cannot create the stop pipe";
    return false;
  }
  if (!options.linkPath.empty()) {
    struct stat st {};
    if (lstat(options.linkPath.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
      (void)unlink(options.linkPath.c_str());
    }
    if (symlink(slave.c_str(), options.linkPath.c_str()) != 0) {
      failure = "cannot link " + options.linkPath + ": " + std::strerror(errno);
      return false;
    }
    linked = true;
  }
  worker = std::thread([this] { Serve(); });
  return true;
}

void AdapterSimulator::Stop() {
  if (worker.joinable()) {
    const char wake = 1;
    (void)!::write(stopPipe[1], &wake, 1);
    worker.join();
  }
  if (linked) {
    (void)unlink(options.linkPath.c_str());
    linked = false;
  }
  for (int* fd : {&master, &slaveHold, &stopPipe[0], &stopPipe[1]}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
}

void AdapterSimulator::Changed() {
  if (options.onStatsChange) options.onStatsChange();
}

void AdapterSimulator::Serve() {
  char buffer[256];
  while (master >= 0) {
    const bool endless = options.profile == AdapterProfile::kEndless;
    pollfd fds[2] = {{master, static_cast<short>(POLLIN | (endless ? POLLOUT : 0)), 0},
                     {stopPipe[0], POLLIN, 0}};
    if (poll(fds, 2, std::min(kIdlePollMs, PacketWaitMs())) < 0 && errno != EINTR) return;
    if ((fds[1].revents & POLLIN) != 0) return;
    if (!FlushPacket(true)) return;
    if ((fds[0].revents & POLLIN) != 0) {
      const ssize_t n = ::read(master, buffer, sizeof buffer);
      if (n > 0 && !SpeedMatches()) {
        // At the wrong speed nothing is understood; what comes back is junk.
        std::string junk;
        for (ssize_t i = 0; i < n; ++i) junk.push_back(Garbled(buffer[i]));
        if (!Send(junk)) return;
        continue;
      }
      for (ssize_t i = 0; i < n && master >= 0; ++i) {
        batchLeft = static_cast<std::size_t>(n - i - 1);
        HandleByte(buffer[i]);
      }
      batchLeft = 0;
    }
    if (endless && master >= 0 && (fds[0].revents & POLLOUT) != 0) {
      if (!Send(kMonitorLine)) return;
    }
  }
}

namespace {

std::int64_t SteadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

AdapterSimulator::Pace AdapterSimulator::PaceSoFar() const {
  Pace pace;
  pace.prompts = prompts.load();
  pace.busy = std::chrono::nanoseconds(busyNs.load());
  pace.gaps = gaps.load();
  pace.idle = std::chrono::nanoseconds(idleNs.load());
  pace.longestGap = std::chrono::nanoseconds(longestGapNs.load());
  return pace;
}

void AdapterSimulator::ResetPace() {
  prompts = 0;
  busyNs = 0;
  gaps = 0;
  idleNs = 0;
  longestGapNs = 0;
}

void AdapterSimulator::HandleByte(char byte) {
  if (dropNext) {
    dropNext = false;
    return;
  }
  if (byte == '\n') return;  // line feeds from the host are ignored
  if (line.empty()) {
    // First byte of a command.
    commandStartedNs = SteadyNs();
    if (promptSentNs != 0) {
      const std::int64_t gap = commandStartedNs - promptSentNs;
      gaps.fetch_add(1);
      idleNs.fetch_add(gap);
      if (gap > longestGapNs.load()) longestGapNs = gap;
      promptSentNs = 0;
    }
    if (promptOwed || nextInterleaved) {
      interleaved.fetch_add(1);
      Changed();
    }
    nextInterleaved = false;
    if (!pendingLate.empty()) {
      std::string late;
      late.swap(pendingLate);
      if (!SendAnswer(late)) return;
      promptOwed = false;
    }
  }
  if (byte == '\r') {
    if (quirks.unplugAfter > 0 &&
        commands.load() >= static_cast<std::uint64_t>(quirks.unplugAfter)) {
      Vanish();  // pulled out of the socket: the host's next read or write fails
      return;
    }
    if (engine.EchoOn() && !SendAnswer("\r")) return;
    commands.fetch_add(1);
    Changed();
    RunCommand();
    line.clear();
    return;
  }
  if (engine.EchoOn() && !Send(std::string(1, byte))) return;
  if (line.size() < kMaxLine) line.push_back(byte);
}

void AdapterSimulator::RunCommand() {
  const bool obd = IsObdRequest(line);
  std::vector<AnswerChunk> chunks = engine.Answer(line);
  if (chunks.empty()) return;

  if (options.profile == AdapterProfile::kLate) {
    for (const AnswerChunk& chunk : chunks) pendingLate += chunk.bytes;
    promptOwed = true;
    return;
  }
  if (options.profile == AdapterProfile::kVanish && obd) {
    std::string all;
    for (const AnswerChunk& chunk : chunks) all += chunk.bytes;
    (void)SendAnswer(all.substr(0, all.size() / 2));
    // Give the host time to read what came before the device went; a pseudo-terminal drops
    // unread input when its master closes.
    if (PauseMs(kVanishAfterMs)) Vanish();
    return;
  }
  const bool prompted = HasPrompt(chunks);
  if (prompted) promptOwed = true;
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    if (quirks.stopOnInput && prompted) {
      const Pause pause = PauseOrInput(chunks[i].delayMs);
      if (pause == Pause::kStop) return;
      if (pause == Pause::kInput) {
        (void)Interrupt();
        return;
      }
    } else if (!PauseMs(chunks[i].delayMs)) {
      return;
    }
    std::string bytes = chunks[i].bytes;
    const bool last = i + 1 == chunks.size();
    if (last && prompted) {
      bytes.pop_back();
      if (!SendAnswer(bytes)) return;
      // Anything already waiting now arrived before the prompt.
      if (InputPending()) nextInterleaved = true;
      promptSentNs = SteadyNs();
      busyNs.fetch_add(promptSentNs - commandStartedNs);
      prompts.fetch_add(1);
      if (!Send(">")) return;
      promptOwed = false;
    } else if (!SendAnswer(bytes)) {
      return;
    }
  }
}

bool AdapterSimulator::Interrupt() {
  // The byte that interrupted is taken as the interrupt, not as the start of a command.
  interleaved.fetch_add(1);
  Changed();
  dropNext = true;
  promptOwed = false;
  nextInterleaved = false;
  return SendAnswer(kStopped);
}

bool AdapterSimulator::SpeedMatches() const {
  if (quirks.baudRate == 0) return true;
  termios tio{};
  if (tcgetattr(slaveHold, &tio) != 0) return true;
  return BaudOf(cfgetospeed(&tio)) == quirks.baudRate;
}

bool AdapterSimulator::InputPending() const {
  if (batchLeft > 0) return true;
  int waiting = 0;
  return ioctl(master, FIONREAD, &waiting) == 0 && waiting > 0;
}

void AdapterSimulator::Vanish() {
  // Noted before the close: a host that sees the hang-up must also see the flag.
  vanished.store(true);
  packet.clear();
  ::close(master);
  ::close(slaveHold);
  master = -1;
  slaveHold = -1;
  Changed();
}

bool AdapterSimulator::SendAnswer(const std::string& bytes) {
  if (!engine.LineFeedsOn()) return Send(bytes);
  std::string out;
  for (char c : bytes) {
    out.push_back(c);
    if (c == '\r') out.push_back('\n');
  }
  return Send(out);
}

bool AdapterSimulator::Send(const std::string& bytes) {
  if (bytes.empty()) return true;
  if (quirks.usbPackets) {
    packet += bytes;
    while (packet.size() >= kPacketBytes) {
      if (!FlushPacket(false)) return false;
    }
    return true;
  }
  if (options.bursts) {
    for (std::size_t at = 0; at < bytes.size();
         at += static_cast<std::size_t>(options.burstBytes)) {
      if (at > 0 && !PauseMs(options.burstGapMs)) return false;
      const std::size_t n =
          std::min(bytes.size() - at, static_cast<std::size_t>(options.burstBytes));
      if (!WriteAll(bytes.data() + at, n)) return false;
    }
    return true;
  }
  if (!options.wireTiming) return WriteAll(bytes.data(), bytes.size());
  const auto byteTime =
      quirks.baudRate > 0 ? std::chrono::microseconds(10'000'000 / quirks.baudRate) : kByteTime;
  auto next = std::chrono::steady_clock::now();
  for (char c : bytes) {
    if (!WriteAll(&c, 1)) return false;
    next += byteTime;
    std::this_thread::sleep_until(next);
  }
  return true;
}

int AdapterSimulator::PacketWaitMs() const {
  if (packet.empty()) return kIdlePollMs;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      nextPacket - std::chrono::steady_clock::now());
  return static_cast<int>(std::clamp<long>(left.count(), 0, kIdlePollMs));
}

bool AdapterSimulator::FlushPacket(bool partial) {
  if (packet.empty() || (partial && std::chrono::steady_clock::now() < nextPacket)) return true;
  if (!partial) {
    // A full packet waits for its slot too.
    pollfd stop{stopPipe[0], POLLIN, 0};
    while (std::chrono::steady_clock::now() < nextPacket) {
      if (poll(&stop, 1, PacketWaitMs()) > 0) return false;
    }
  }
  const std::size_t n = std::min(packet.size(), kPacketBytes);
  if (!WriteAll(packet.data(), n)) return false;
  packet.erase(0, n);
  nextPacket = std::chrono::steady_clock::now() + kPacketEvery;
  return true;
}

bool AdapterSimulator::WriteAll(const char* data, std::size_t n) {
  if (master < 0) return false;
  auto lastProgress = std::chrono::steady_clock::now();
  while (n > 0) {
    const ssize_t w = ::write(master, data, n);
    if (w > 0) {
      data += w;
      n -= static_cast<std::size_t>(w);
      lastProgress = std::chrono::steady_clock::now();
      continue;
    }
    if (w < 0 && errno != EAGAIN && errno != EINTR) return false;
    // Nobody reads: wait for room, but give up on a reader that has stalled for good.
    if (std::chrono::steady_clock::now() - lastProgress > kStallLimit) return true;
    pollfd fds[2] = {{master, POLLOUT, 0}, {stopPipe[0], POLLIN, 0}};
    (void)poll(fds, 2, kIdlePollMs);
    if ((fds[1].revents & POLLIN) != 0) return false;
  }
  return true;
}

bool AdapterSimulator::PauseMs(int ms) {
  if (ms <= 0) return true;
  pollfd stop{stopPipe[0], POLLIN, 0};
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return true;
    const int wait = std::min(static_cast<int>(left.count()), PacketWaitMs());
    if (poll(&stop, 1, wait) > 0) return false;
    if (!FlushPacket(true)) return false;
  }
}

AdapterSimulator::Pause AdapterSimulator::PauseOrInput(int ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(ms, 0));
  for (;;) {
    if (InputPending()) return Pause::kInput;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return Pause::kElapsed;
    pollfd fds[2] = {{stopPipe[0], POLLIN, 0}, {master, POLLIN, 0}};
    const int wait = std::min(static_cast<int>(left.count()), PacketWaitMs());
    (void)poll(fds, 2, wait);
    if ((fds[0].revents & POLLIN) != 0) return Pause::kStop;
    if (!FlushPacket(true)) return Pause::kStop;
  }
}
