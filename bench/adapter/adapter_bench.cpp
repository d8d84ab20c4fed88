// The pace of the adapter link against a simulated adapter that answers like a CAN car's
// adapter asked with the response-count digit: the whole answer about 32 ms after the
// command and the prompt right after, bytes timed at 38400 baud. Each figure is printed for
// the exchange as it was before answers were returned at their prompt and for the current
// one, beside its goal.
#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "adapter/adapter_discovery.h"
#include "adapter/adapter_exchange.h"
#include "adapter/serial_port.h"
#include "adapter_simulator.h"
#include "fake_bluez.h"
#include "private_bus.h"
#include "sim_ports.h"

using namespace morvanix;

namespace {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::duration<double, std::milli>;

// With the echo and the answer on the wire, the prompt goes out about 32 ms after the command.
constexpr int kEcuDelayMs = 28;
constexpr int kResetDelayMs = 800;
constexpr int kRequestCommands = 10;
constexpr auto kSeriesTime = std::chrono::seconds(3);

// Goals.
constexpr double kWindowRatioGoal = 1.15;  // request time / the adapter's busy time, at most
constexpr double kGapGoalMs = 3.0;         // idle after a prompt, at most
constexpr double kSeriesShareGoal = 0.85;  // readings a second / the adapter's rate, at least
constexpr double kCheckAboveResetGoalMs = 100.0;
constexpr double kBleOverAdapterGoalMs = 2.0;  // a command over BLE beyond the adapter's time

// The one-byte read the old exchange polled with: it waited at most 10 ms.
char PollByte(SerialPort& port, bool& gotByte) {
  char byte = '\0';
  gotByte = port.ReadSome(&byte, 1, Deadline::After(std::chrono::milliseconds(10)), {}) == 1;
  return byte;
}

// The exchange as it was before answers were returned at their prompt: a discard that ends
// at the first empty 10 ms poll, a fixed 100 ms after the write, then passes that end at an
// empty poll, each followed by a 10 ms sleep, until a pass brought the prompt. Kept here only
// so that one run compares the two.
std::string PreviousExchange(std::string command, SerialPort* port, const StopToken& = {}) {
  command.push_back('\r');
  if (!port->IsOpen()) return "ERROR";
  for (int poll = 0; poll < 4096; ++poll) {
    bool gotByte = false;
    PollByte(*port, gotByte);
    if (!gotByte) break;
  }
  port->Write(command.c_str(), {});
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::string answer;
  std::size_t received = 0;
  for (int passes = 0;;) {
    bool promptSeen = false;
    for (int inPass = 0; inPass < 1024; ++inPass) {
      bool gotByte = false;
      const char byte = PollByte(*port, gotByte);
      if (!gotByte) break;
      if (byte == '>') {
        promptSeen = true;
      } else if (byte != '\r' && received >= command.size() - 1) {
        answer.push_back(byte);
      }
      ++received;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (promptSeen || ++passes >= 500 || received >= 64 * 1024) break;
  }
  return answer;
}

using Exchange = std::string (*)(std::string, SerialPort*, const StopToken&);

AdapterSimOptions PacedAdapter() {
  AdapterSimOptions options = FastAdapterSimOptions(AdapterProfile::kElm);
  options.wireTiming = true;
  options.timings.ecuDelayMs = kEcuDelayMs;
  return options;
}

// Per command on a short answer, a 10-command request against the adapter's own busy time,
// and the adapter's idle time after each prompt.
void PaceOn(benchmark::State& state, AdapterSimulator* sim, SerialPort& port, Exchange exchange) {
  ExchangeCommand("0100", &port);  // the protocol search, outside the timing
  double requestMs = 0;
  double busyMs = 0;
  double idleMs = 0;
  double longestGapMs = 0;
  std::uint64_t gaps = 0;
  for (auto _ : state) {
    sim->ResetPace();
    const auto start = Clock::now();
    for (int i = 0; i < kRequestCommands; ++i) {
      benchmark::DoNotOptimize(exchange("010C", &port, {}));
    }
    requestMs += Ms(Clock::now() - start).count();
    const AdapterSimulator::Pace pace = sim->PaceSoFar();
    busyMs += Ms(pace.busy).count();
    idleMs += Ms(pace.idle).count();
    gaps += pace.gaps;
    longestGapMs = std::max(longestGapMs, Ms(pace.longestGap).count());
  }
  const double requests = static_cast<double>(state.iterations());
  state.counters["command_ms"] = requestMs / requests / kRequestCommands;
  state.counters["adapter_command_ms"] = busyMs / requests / kRequestCommands;
  state.counters["request_ms"] = requestMs / requests;
  state.counters["adapter_request_ms"] = busyMs / requests;
  state.counters["window_ratio"] = requestMs / busyMs;
  state.counters["window_ratio_goal_max"] = kWindowRatioGoal;
  state.counters["gap_ms"] = gaps == 0 ? 0 : idleMs / static_cast<double>(gaps);
  state.counters["longest_gap_ms"] = longestGapMs;
  state.counters["gap_goal_max_ms"] = kGapGoalMs;
  state.counters["over_adapter_ms"] = (requestMs - busyMs) / requests / kRequestCommands;
}
void ExchangePace(benchmark::State& state, Exchange exchange) {
  SimulatedComPorts ports;
  AdapterSimulator* sim = ports.Add(1, PacedAdapter());
  SerialPort port("\\\\.\\COM1", 38400, 8, 'N', 1.0f);
  if (sim == nullptr || port.Open() != 0) {
    state.SkipWithError("cannot start the simulated adapter");
    return;
  }
  PaceOn(state, sim, port, exchange);
}
void BM_ExchangePacePrevious(benchmark::State& state) {
  ExchangePace(state, PreviousExchange);
}
void BM_ExchangePace(benchmark::State& state) {
  ExchangePace(state, ExchangeCommand);
}
BENCHMARK(BM_ExchangePacePrevious)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ExchangePace)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same adapter over BLE: a fake BlueZ on a private bus in front of it, notifications of
// 20 bytes. The agent's own time per command beside the adapter's (goal: 2 ms more at most).
void BM_ExchangePaceBle(benchmark::State& state) {
  PrivateBus bus;
  AdapterSimulator sim(PacedAdapter());
  if (!bus.Start() || !sim.Start()) {
    state.SkipWithError("cannot start the private bus or the simulated adapter");
    return;
  }
  setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.Address().c_str(), 1);
  FakeBluezOptions options;
  options.busAddress = bus.Address();
  options.terminalPath = sim.slavePath();
  FakeBluez bluez(options);
  SerialPort port("ble:00:1D:A5:68:98:8A", 38400, 8, 'N', 1.0f);
  if (!bluez.Start() || port.Open() != 0) {
    state.SkipWithError("cannot reach the fake BLE adapter");
    return;
  }
  PaceOn(state, &sim, port, ExchangeCommand);
  state.counters["over_adapter_goal_max_ms"] = kBleOverAdapterGoalMs;
}
BENCHMARK(BM_ExchangePaceBle)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();

// A one-PID series: one command after the other for a few seconds, readings a second
// against the adapter's own rate (one reading per busy time). The remote posts of a series
// on loopback are not part of this figure.
void SeriesRate(benchmark::State& state, Exchange exchange) {
  SimulatedComPorts ports;
  AdapterSimulator* sim = ports.Add(1, PacedAdapter());
  SerialPort port("\\\\.\\COM1", 38400, 8, 'N', 1.0f);
  if (sim == nullptr || port.Open() != 0) {
    state.SkipWithError("cannot start the simulated adapter");
    return;
  }
  ExchangeCommand("0100", &port);
  for (auto _ : state) {
    sim->ResetPace();
    int readings = 0;
    const auto start = Clock::now();
    while (Clock::now() - start < kSeriesTime) {
      benchmark::DoNotOptimize(exchange("010C", &port, {}));
      ++readings;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const AdapterSimulator::Pace pace = sim->PaceSoFar();
    const double adapterRate =
        static_cast<double>(pace.prompts) / std::chrono::duration<double>(pace.busy).count();
    state.counters["readings_per_s"] = readings / seconds;
    state.counters["adapter_rate_per_s"] = adapterRate;
    state.counters["share"] = readings / seconds / adapterRate;
    state.counters["share_goal_min"] = kSeriesShareGoal;
  }
}
void BM_SeriesRatePrevious(benchmark::State& state) {
  SeriesRate(state, PreviousExchange);
}
void BM_SeriesRate(benchmark::State& state) {
  SeriesRate(state, ExchangeCommand);
}
BENCHMARK(BM_SeriesRatePrevious)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SeriesRate)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The probe as it was: a 60 ms settle after Open, a discard of 10 ms polls, the reset, then
// passes of 10 ms polls and 10 ms sleeps until the prompt (200 at most), on each number.
bool PreviousCheck() {
  for (int n = 1; n <= 16; ++n) {
    SerialPort probe("\\\\.\\COM" + std::to_string(n), 38400, 8, 'N', 1.0f);
    if (probe.Open() != 0) continue;
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    for (int poll = 0; poll < 100; ++poll) {
      bool gotByte = false;
      PollByte(probe, gotByte);
      if (!gotByte) break;
    }
    probe.Write("ATZ\r", {});
    std::string answer;
    for (int passes = 0; passes < 200 && answer.size() < 30; ++passes) {
      bool promptSeen = false;
      for (;;) {
        bool gotByte = false;
        const char byte = PollByte(probe, gotByte);
        if (!gotByte) break;
        promptSeen = promptSeen || byte == '>';
        if (byte != '\r' && byte != '>') answer.push_back(byte);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      if (promptSeen) break;
    }
    if (answer.rfind("ATZ", 0) == 0) return true;
  }
  return false;
}

bool CurrentCheck() {
  SerialPort adapterPort;
  std::atomic<bool> connected{false};
  return DiscoverAdapter(&adapterPort, &connected, StopToken{}).has_value() && connected.load();
}

// An agent check with the adapter on COM3 (COM1 and COM2 absent), against the reset delay.
void CheckTime(benchmark::State& state, bool (*check)()) {
  SimulatedComPorts ports;
  AdapterSimOptions options = PacedAdapter();
  options.timings.resetDelayMs = kResetDelayMs;
  if (ports.Add(3, options) == nullptr) {
    state.SkipWithError("cannot start the simulated adapter");
    return;
  }
  double totalMs = 0;
  for (auto _ : state) {
    const auto start = Clock::now();
    if (!check()) state.SkipWithError("adapter not found");
    totalMs += Ms(Clock::now() - start).count();
  }
  const double meanMs = totalMs / static_cast<double>(state.iterations());
  state.counters["check_ms"] = meanMs;
  state.counters["reset_ms"] = kResetDelayMs;
  state.counters["above_reset_ms"] = meanMs - kResetDelayMs;
  state.counters["above_reset_goal_max_ms"] = kCheckAboveResetGoalMs;
}
void BM_CheckOnCom3Previous(benchmark::State& state) {
  CheckTime(state, PreviousCheck);
}
void BM_CheckOnCom3(benchmark::State& state) {
  CheckTime(state, CurrentCheck);
}
BENCHMARK(BM_CheckOnCom3Previous)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CheckOnCom3)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

// A scan that finds nothing, with one silent device (COM1) and fifteen numbers that do not
// open: 4 s at 38400, then 1.2 s at each other rate.
void BM_ScanFindingNothing(benchmark::State& state) {
  SimulatedComPorts ports;
  if (ports.Add(1, AdapterProfile::kSilent) == nullptr) {
    state.SkipWithError("cannot start the simulated adapter");
    return;
  }
  SerialPort adapterPort;
  std::atomic<bool> connected{false};
  for (auto _ : state) {
    if (DiscoverAdapter(&adapterPort, &connected, StopToken{}))
      state.SkipWithError("adapter found");
  }
  state.counters["expected_ms"] = 4000 + 4 * 1200;
}
BENCHMARK(BM_ScanFindingNothing)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
