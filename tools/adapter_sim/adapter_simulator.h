#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "elm_engine.h"

struct AdapterSimOptions {
  AdapterProfile profile = AdapterProfile::kElm;
  // Where to put a symlink to the pseudo-terminal (for example DIR/COM3); empty for none.
  std::string linkPath;
  ElmTimings timings;
  // Send at 38400 baud (about 260 us a byte) instead of as fast as the terminal takes it.
  bool wireTiming = true;
  // Send answers in bursts with gaps, as a Bluetooth link does.
  bool bursts = false;
  int burstBytes = 20;
  int burstGapMs = 40;
  // Overrides of the profile's quirks: the one speed understood (0: any) and the number of
  // commands after which the terminal goes away (0: never); -1 keeps the profile's.
  int baudRate = -1;
  int unplugAfter = -1;
  // Called on the simulator's thread whenever a counter changes.
  std::function<void()> onStatsChange;
};

// Options for unit tests: no wire timing, no reset or search delays.
AdapterSimOptions FastAdapterSimOptions(AdapterProfile profile, std::string linkPath = {});

// A simulated adapter serving the master side of a pseudo-terminal from a thread of its
// own. The agent opens the slave (directly or through the link). The simulator keeps the
// slave open itself so that the agent's open/close cycles cause no hang-ups.
class AdapterSimulator {
 public:
  explicit AdapterSimulator(AdapterSimOptions options);
  ~AdapterSimulator();  // Stop()

  AdapterSimulator(const AdapterSimulator&) = delete;
  AdapterSimulator& operator=(const AdapterSimulator&) = delete;

  // Creates the terminal and the link and starts serving. False with error() set on failure.
  bool Start();
  // Ends the thread within about 50 ms and removes the link. Idempotent.
  void Stop();

  const std::string& slavePath() const { return slave; }
  const std::string& error() const { return failure; }

  // Commands received (ended by CR), in total.
  std::uint64_t CommandsReceived() const { return commands.load(); }
  // Commands whose first byte arrived before the prompt of the previous one was sent.
  std::uint64_t InterleavedCommands() const { return interleaved.load(); }
  // True once the vanish or unplug profile closes its terminal (set before the close).
  bool Vanished() const { return vanished.load(); }

  // How the adapter spent its time: busy from the first byte of a command to its prompt,
  // idle from a prompt to the first byte of the next command.
  struct Pace {
    std::uint64_t prompts = 0;
    std::chrono::nanoseconds busy{0};
    std::uint64_t gaps = 0;
    std::chrono::nanoseconds idle{0};
    std::chrono::nanoseconds longestGap{0};
  };
  Pace PaceSoFar() const;
  void ResetPace();

 private:
  void Serve();
  void HandleByte(char byte);
  void RunCommand();
  void StreamEndless();
  bool Send(const std::string& bytes);
  bool SendAnswer(const std::string& bytes);
  bool WriteAll(const char* data, std::size_t n);
  bool PauseMs(int ms);  // false when asked to stop
  enum class Pause { kElapsed, kInput, kStop };
  // As PauseMs, ending early when the host sends a byte (an adapter that is busy).
  Pause PauseOrInput(int ms);
  bool Interrupt();
  bool InputPending() const;
  bool SpeedMatches() const;
  bool FlushPacket(bool partial);
  int PacketWaitMs() const;
  void Vanish();
  void Changed();

  AdapterSimOptions options;
  AdapterQuirks quirks;
  ElmEngine engine;
  int master = -1;
  int slaveHold = -1;
  int stopPipe[2] = {-1, -1};
  std::string slave;
  std::string failure;
  bool linked = false;
  std::thread worker;

  // Owned by the worker thread.
  std::string line;
  std::string pendingLate;
  bool promptOwed = false;
  bool nextInterleaved = false;
  std::size_t batchLeft = 0;
  unsigned endlessAt = 0;
  bool dropNext = false;  // the byte that interrupted an answer is not kept
  std::string packet;     // output held back for the next USB packet
  std::chrono::steady_clock::time_point nextPacket{};

  std::atomic<std::uint64_t> commands{0};
  std::atomic<std::uint64_t> interleaved{0};
  std::atomic<bool> vanished{false};

  // The pace, kept by the worker thread (time points in steady-clock nanoseconds).
  std::int64_t commandStartedNs = 0;
  std::int64_t promptSentNs = 0;  // 0: no prompt since the last command started
  std::atomic<std::uint64_t> prompts{0};
  std::atomic<std::int64_t> busyNs{0};
  std::atomic<std::uint64_t> gaps{0};
  std::atomic<std::int64_t> idleNs{0};
  std::atomic<std::int64_t> longestGapNs{0};
};
