// adapter-sim: a simulated diagnostic adapter on a pseudo-terminal, over TCP as a Wi-Fi
// adapter serves, and over Bluetooth LE through a fake BlueZ, for trying the agent without a
// vehicle.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>

#include "adapter_simulator.h"
#include "fake_bluez.h"
#include "tcp_adapter_server.h"

namespace {

void Usage() {
  std::fprintf(
      stderr,
      "usage: adapter-sim (--link PATH | --tcp HOST:PORT | --ble) [--profile NAME] [--fast]\n"
      "                   [--bursts] [--reset-delay-ms N] [--search-delay-ms N] [--stats-file F]\n"
      "                   [--baud N] [--unplug-after N] [--ecu-delay-ms N]\n"
      "                   [--ble-layout NAME] [--ble-address A] [--ble-name N] [--printer]\n"
      "one of --link, --tcp and --ble (each would read the one terminal); a Wi-Fi adapter is\n"
      "--tcp 192.168.0.10:35000; --ble plays BlueZ with one LE device on the bus of\n"
      "DBUS_SYSTEM_BUS_ADDRESS (never point it at the machine's own), --printer for a device\n"
      "of the same layout that answers no adapter text\n"
      "profiles: %s\nlayouts: %s\n",
      AdapterProfileNames().c_str(), BleLayoutNames().c_str());
}

// A count, a time in ms or a speed: 0..600000.
bool ParseMs(const char* text, int& out) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < 0 || value > 600000) return false;
  out = static_cast<int>(value);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  AdapterSimOptions options;
  std::string statsFile;
  bool fast = false;
  int resetDelay = -1;
  int searchDelay = -1;
  std::string tcpHost;
  int tcpPort = 0;
  bool ble = false;
  bool printer = false;
  FakeBluezOptions bleOptions;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--link" && hasValue) {
      options.linkPath = argv[++i];
    } else if (arg == "--tcp" && hasValue && ParseHostPort(argv[i + 1], tcpHost, tcpPort)) {
      ++i;
    } else if (arg == "--profile" && hasValue) {
      const auto profile = ParseAdapterProfile(argv[++i]);
      if (!profile) {
        std::fprintf(stderr, "adapter-sim: unknown profile %s\n", argv[i]);
        Usage();
        return 2;
      }
      options.profile = *profile;
    } else if (arg == "--ble") {
      ble = true;
    } else if (arg == "--printer") {
      printer = true;
    } else if (arg == "--ble-layout" && hasValue) {
      const auto layout = ParseBleLayout(argv[++i]);
      if (!layout) {
        std::fprintf(stderr, "adapter-sim: unknown layout %s\n", argv[i]);
        Usage();
        return 2;
      }
      bleOptions.layout = *layout;
    } else if (arg == "--ble-address" && hasValue) {
      bleOptions.address = argv[++i];
    } else if (arg == "--ble-name" && hasValue) {
      bleOptions.name = argv[++i];
    } else if (arg == "--fast") {
      fast = true;
    } else if (arg == "--bursts") {
      options.bursts = true;
    } else if (arg == "--reset-delay-ms" && hasValue && ParseMs(argv[i + 1], resetDelay)) {
      ++i;
    } else if (arg == "--search-delay-ms" && hasValue && ParseMs(argv[i + 1], searchDelay)) {
      ++i;
    } else if (arg == "--baud" && hasValue && ParseMs(argv[i + 1], options.baudRate)) {
      ++i;
    } else if (arg == "--unplug-after" && hasValue && ParseMs(argv[i + 1], options.unplugAfter)) {
      ++i;
    } else if (arg == "--ecu-delay-ms" && hasValue &&
               ParseMs(argv[i + 1], options.timings.ecuDelayMs)) {
      ++i;
    } else if (arg == "--stats-file" && hasValue) {
      statsFile = argv[++i];
    } else {
      Usage();
      return 2;
    }
  }
  const int fronts = (options.linkPath.empty() ? 0 : 1) + (tcpHost.empty() ? 0 : 1) + (ble ? 1 : 0);
  if (fronts != 1 || (printer && !ble)) {
    Usage();
    return 2;
  }
  if (fast) {
    options.wireTiming = false;
    options.timings.resetDelayMs = 0;
    options.timings.searchDelayMs = 0;
  }
  if (resetDelay >= 0) options.timings.resetDelayMs = resetDelay;
  if (searchDelay >= 0) options.timings.searchDelayMs = searchDelay;

  // Signals are taken synchronously on this thread; block them before the server starts.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  std::mutex statsLock;
  AdapterSimulator* running = nullptr;
  auto writeStats = [&] {
    std::lock_guard<std::mutex> hold(statsLock);
    if (statsFile.empty() || running == nullptr) return;
    const std::string temp = statsFile + ".tmp";
    {
      std::ofstream out(temp, std::ios::trunc);
      const AdapterSimulator::Pace pace = running->PaceSoFar();
      out << "commands " << running->CommandsReceived() << "\n"
          << "interleaved " << running->InterleavedCommands() << "\n"
          << "prompts " << pace.prompts << "\n"
          << "busy_us " << std::chrono::duration_cast<std::chrono::microseconds>(pace.busy).count()
          << "\n";
    }
    std::rename(temp.c_str(), statsFile.c_str());
  };
  options.onStatsChange = writeStats;

  AdapterSimulator simulator(options);
  {
    std::lock_guard<std::mutex> hold(statsLock);
    running = &simulator;
  }
  if (!simulator.Start()) {
    std::fprintf(stderr, "adapter-sim: %s\n", simulator.error().c_str());
    return 1;
  }
  std::unique_ptr<TcpAdapterServer> network;
  if (!tcpHost.empty()) {
    network = std::make_unique<TcpAdapterServer>(simulator.slavePath(), tcpHost, tcpPort);
    if (!network->Start()) {
      std::fprintf(stderr, "adapter-sim: %s\n", network->error().c_str());
      return 1;
    }
    std::printf("adapter-sim: serving tcp://%s:%d\n", tcpHost.c_str(), tcpPort);
  }
  std::unique_ptr<FakeBluez> bluez;
  if (ble) {
    if (!printer) bleOptions.terminalPath = simulator.slavePath();
    bluez = std::make_unique<FakeBluez>(bleOptions);
    if (!bluez->Start()) {
      std::fprintf(stderr, "adapter-sim: %s\n", bluez->error().c_str());
      return 1;
    }
    std::printf("adapter-sim: serving BLE %s (layout %s%s) as org.bluez\n",
                bleOptions.address.c_str(), BleLayoutName(bleOptions.layout),
                printer ? ", a printer" : "");
  }
  writeStats();
  std::printf("adapter-sim: %s -> %s (profile %s)\n",
              options.linkPath.empty() ? "(no link)" : options.linkPath.c_str(),
              simulator.slavePath().c_str(), AdapterProfileName(options.profile));
  std::fflush(stdout);

  int signal = 0;
  sigwait(&stopSignals, &signal);
  if (network) network->Stop();
  if (bluez) bluez->Stop();
  simulator.Stop();
  writeStats();
  std::printf("adapter-sim: stopped after %llu commands, %llu interleaved\n",
              static_cast<unsigned long long>(simulator.CommandsReceived()),
              static_cast<unsigned long long>(simulator.InterleavedCommands()));
  return 0;
}
