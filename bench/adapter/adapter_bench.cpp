// Time and CPU cost of one exchange and of one discovery against the simulated adapter with
// every delay of the simulator turned off, so that what remains is the algorithm's own
// waiting (its floor) plus the agent's overhead.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <string>

#include "adapter/adapter_discovery.h"
#include "adapter/adapter_exchange.h"
#include "adapter/serial_port.h"
#include "adapter_simulator.h"
#include "sim_ports.h"

using namespace morvanix;

namespace {

// The 100 ms answer delay, one empty 10 ms poll and one 10 ms pause between passes.
constexpr double kExchangeFloorMs = 120.0;
// The discard step's first poll also waits its 10 ms when nothing is stale.
constexpr double kDiscardPollMs = 10.0;

void BM_ExchangeCommand(benchmark::State& state) {
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
    std::string answer = ExchangeCommand("010C", &port);
    wallMs +=
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    benchmark::DoNotOptimize(answer);
  }
  const double meanMs = wallMs / static_cast<double>(state.iterations());
  state.counters["floor_ms"] = kExchangeFloorMs;
  state.counters["above_floor_ms"] = meanMs - kExchangeFloorMs;
  state.counters["above_floor_with_discard_poll_ms"] = meanMs - kExchangeFloorMs - kDiscardPollMs;
}
BENCHMARK(BM_ExchangeCommand)->Iterations(30)->Unit(benchmark::kMillisecond)->UseRealTime();

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

}  // namespace

BENCHMARK_MAIN();
