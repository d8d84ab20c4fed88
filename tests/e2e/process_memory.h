#pragma once

#include <sys/types.h>

#include <cstdlib>
#include <fstream>
#include <string>

// Resident memory of a running process in KiB, from /proc; 0 when it cannot be read.
inline long ResidentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return 0;
}
