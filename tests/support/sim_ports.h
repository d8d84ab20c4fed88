#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "adapter_simulator.h"

// A folder of COM<n> links to simulated adapters, made the agent's serial folder for the
// life of the object.
class SimulatedComPorts {
 public:
  SimulatedComPorts() {
    char dir[] = "/tmp/adapter-ports-XXXXXX";
    if (mkdtemp(dir) != nullptr) folder = dir;
    setenv("MORVANIX_SERIAL_DIR", folder.c_str(), 1);
  }
  ~SimulatedComPorts() {
    for (auto& sim : sims) sim->Stop();
    for (const std::string& extra : extras) std::remove(extra.c_str());
    unsetenv("MORVANIX_SERIAL_DIR");
    rmdir(folder.c_str());
  }
  SimulatedComPorts(const SimulatedComPorts&) = delete;
  SimulatedComPorts& operator=(const SimulatedComPorts&) = delete;

  std::string Entry(int n) const { return folder + "/COM" + std::to_string(n); }

  // Starts a simulator linked as COM<n>; nullptr when it could not start.
  AdapterSimulator* Add(int n, AdapterSimOptions options) {
    options.linkPath = Entry(n);
    sims.push_back(std::make_unique<AdapterSimulator>(std::move(options)));
    return sims.back()->Start() ? sims.back().get() : nullptr;
  }
  AdapterSimulator* Add(int n, AdapterProfile profile) {
    return Add(n, FastAdapterSimOptions(profile));
  }
  // A plain file as COM<n>: it opens but is no terminal.
  void AddPlainFile(int n) {
    extras.push_back(Entry(n));
    std::fclose(std::fopen(extras.back().c_str(), "w"));
  }

 private:
  std::string folder;
  std::vector<std::unique_ptr<AdapterSimulator>> sims;
  std::vector<std::string> extras;
};
