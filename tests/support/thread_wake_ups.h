#pragma once

// Counts how often the threads of this process wake, from the kernel's own count: a thread
// that blocks again after a wake-up has one more voluntary context switch. Linux only.
#include <sys/syscall.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>

// Voluntary context switches of every thread of the process but the calling one, by thread.
inline std::map<std::string, long long> OtherThreadsSwitches() {
  const std::string self = std::to_string(::syscall(SYS_gettid));
  std::map<std::string, long long> switches;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    const std::string id = task.path().filename().string();
    if (id == self) continue;
    std::ifstream status(task.path() / "status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
        switches[id] = std::stoll(line.substr(line.find(':') + 1));
      }
    }
  }
  return switches;
}

// The wake-ups between two looks: each thread's further switches, and every thread that
// started or ended in between (which took a wake-up too).
inline long long WakeUpsBetween(const std::map<std::string, long long>& before,
                                const std::map<std::string, long long>& after) {
  long long wakeUps = 0;
  for (const auto& [id, count] : after) {
    const auto earlier = before.find(id);
    wakeUps += earlier == before.end() ? 1 : count - earlier->second;
  }
  for (const auto& [id, count] : before) {
    if (after.find(id) == after.end()) ++wakeUps;
  }
  return wakeUps;
}
