// Time and CPU cost of one exchange and of one discovery against the simulated adapter with
// every delay of the simulator turned off, so that what remains is the algorithm's own
// waiting (its floor) plus the agent's overhead.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "adapter/adapter_discovery.h"
#include "adapter/adapter_exchange.h"
#include "adapter/port_probe.h"
#include "adapter/serial_port.h"
#include "adapter_simulator.h"
#include "sim_ports.h"

using namespace morvanix;

namespace {

// The 100 ms answer delay, one empty 10 ms poll and one 10 ms pause between passes.
constexpr double kExchangeFloorMs = 120.0;
// The discard step's first poll also waits its 10 ms when nothing is stale.
constexpr double kDiscardPollMs = 10.0;

// The one-byte read the old exchange polled with: waits at most 10 ms.
char PollByte(SerialPort& port, bool& gotByte) {
  char byte = '\0';
  gotByte = port.ReadSome(&byte, 1, Deadline::After(std::chrono::milliseconds(10)), {}) == 1;
  return byte;
}

// The exchange as it was before answers were read to their prompt: collection stopped at
// the first pause once 100 bytes were in, and the first L-1 bytes were dropped whatever they
// were. Kept here only so that one run compares the two.
std::string PreviousExchange(std::string command, SerialPort* port) {
  command.push_back('\r');
  if (!port->IsOpen()) return "ERROR";
  for (int poll = 0; poll < 4096; ++poll) {
    bool gotByte = false;
    PollByte(*port, gotByte);
    if (!gotByte) break;
  }
  port->Write(command.c_str());
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
    if (promptSeen || ++passes >= 500 || received >= 100) break;
  }
  return answer;
}

using Exchange = std::string (*)(std::string, SerialPort*);

void ExchangeShortAnswer(benchmark::State& state, Exchange exchange) {
  SimulatedComPorts ports;
  if (ports.Add(1, AdapterProfile::kElm) == nullptr) {
    state.SkipWithError("cannot start the simulated adapter");
    return;
  }
  SerialPort port("\\\\.\\COM1", 38400, 8, 'N', 1.0f);
  if (port.Open() != 0) {
    state.SkipWithError("cannot open the simulated adapter");
    return;
  }
  ExchangeCommand("0100", &port);  // the protocol search happens once, outside the timing
  double wallMs = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    std::string answer = exchange("010C", &port);
    wallMs +=
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    benchmark::DoNotOptimize(answer);
  }
  const double meanMs = wallMs / static_cast<double>(state.iterations());
  state.counters["floor_ms"] = kExchangeFloorMs;
  state.counters["above_floor_ms"] = meanMs - kExchangeFloorMs;
  state.counters["above_floor_with_discard_poll_ms"] = meanMs - kExchangeFloorMs - kDiscardPollMs;
}
// Per-command time for a short answer, the previous rule and the current one in one run.
void BM_ExchangeShortAnswerPrevious(benchmark::State& state) {
  ExchangeShortAnswer(state, PreviousExchange);
}
void BM_ExchangeShortAnswer(benchmark::State& state) {
  ExchangeShortAnswer(state, ExchangeCommand);
}
BENCHMARK(BM_ExchangeShortAnswerPrevious)
    ->Iterations(30)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_ExchangeShortAnswer)->Iterations(30)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_DiscoverAdapterOnCom1(benchmark::State& state) {
  SimulatedComPorts ports;
  if (ports.Add(1, AdapterProfile::kElm) == nullptr) {
    state.SkipWithError("cannot start the simulated adapter");
    return;
  }
  SerialPort adapterPort;
  std::atomic<bool> connected{false};
  for (auto _ : state) {
    DiscoverAdapter(&adapterPort, &connected);
    if (!connected.load()) state.SkipWithError("adapter not found");
  }
  adapterPort.Close();
}
BENCHMARK(BM_DiscoverAdapterOnCom1)->Iterations(10)->Unit(benchmark::kMillisecond)->UseRealTime();

// A scan that finds nothing, with one silent device (COM1) and fifteen numbers that do not
// open: the pass at 38400 alone (the whole scan before other rates were tried), then the
// whole scan, which tries the silent device at the other rates as well.
void BM_ScanFindingNothingAt38400Only(benchmark::State& state) {
  SimulatedComPorts ports;
  if (ports.Add(1, AdapterProfile::kSilent) == nullptr) {
    state.SkipWithError("cannot start the simulated adapter");
    return;
  }
  SerialPort probe;
  for (auto _ : state) {
    for (int n = 1; n <= 16; ++n) {
      const PortProbe result =
          detail::ProbeAt(probe, "\\\\.\\COM" + std::to_string(n), 38400, detail::ResetWait::kFull);
      if (result.verdict == ProbeVerdict::kAdapter) state.SkipWithError("adapter found");
    }
  }
}
BENCHMARK(BM_ScanFindingNothingAt38400Only)
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_ScanFindingNothing(benchmark::State& state) {
  SimulatedComPorts ports;
  if (ports.Add(1, AdapterProfile::kSilent) == nullptr) {
    state.SkipWithError("cannot start the simulated adapter");
    return;
  }
  SerialPort adapterPort;
  std::atomic<bool> connected{false};
  for (auto _ : state) {
    if (DiscoverAdapter(&adapterPort, &connected)) state.SkipWithError("adapter found");
  }
}
BENCHMARK(BM_ScanFindingNothing)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
