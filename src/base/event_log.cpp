#include "base/event_log.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>

#include "base/debug_output.h"
#include "base/log_line.h"
#include "base/log_path.h"

namespace morvanix {

namespace {

// A fixed buffer rather than a std::string: WriteLog may run while static objects are being
// destroyed at exit, and reads it without a lock.
char logPath[kLogPathCapacity] = {};

}  // namespace

bool SetEventLogPath(std::string_view path) {
  const bool fits = path.size() < sizeof logPath;
  std::memset(logPath, 0, sizeof logPath);
  if (fits) std::memcpy(logPath, path.data(), path.size());
  return fits;
}

std::string EventLogPath() {
  return logPath;
}

namespace {

// Moves a log that has reached its limit aside as "<file>.1", replacing the older one, so the
// next line starts a new file. The file is the one the path leads to: where the path is a
// link (the packaged agent's, from its program folder into the log folder), the link stays
// and its target is moved beside itself, so the link's folder is never written. Windows
// renames onto no existing file, hence the removal first.
void RotateIfFull(const char* path, std::uintmax_t rotateAt) {
  std::error_code error;
  const std::filesystem::path file = std::filesystem::canonical(path, error);
  if (error) return;
  const std::uintmax_t size = std::filesystem::file_size(file, error);
  if (error || size < rotateAt) return;
  std::filesystem::path older = file;
  older += ".1";
  std::filesystem::remove(older, error);
  std::filesystem::rename(file, older, error);
}

}  // namespace

bool AppendLogLine(const char* path, std::string_view line, std::uintmax_t rotateAt) {
  // The Windows C runtime appends by seeking to the end and then writing, so two threads
  // appending at once can overwrite each other's line: one line at a time.
  static std::mutex appending;
  std::lock_guard<std::mutex> hold(appending);
  RotateIfFull(path, rotateAt);
  std::FILE* file = std::fopen(path, "a");
  if (file == nullptr) return false;
  // A buffer larger than the line keeps stdio from splitting it: the whole line reaches the
  // file in the one write that fclose makes.
  const std::size_t bufferSize = line.size() + 64;
  std::unique_ptr<char[]> buffer(new char[bufferSize]);
  std::setvbuf(file, buffer.get(), _IOFBF, bufferSize);
  const bool written = std::fwrite(line.data(), 1, line.size(), file) == line.size();
  const bool closed = std::fclose(file) == 0;
  return written && closed;
}

void WriteLog(const char* message, const char* suffix) {
  static std::atomic<bool> failureReported{false};

  const char* path = logPath;
  if (path[0] == '\0') return;  // logging is off; main said why

  const std::string line = morvanix::FormatLogLine(std::time(nullptr), message, suffix);
  if (morvanix::AppendLogLine(path, line)) {
    failureReported.store(false, std::memory_order_relaxed);
  } else if (!failureReported.exchange(true, std::memory_order_relaxed)) {
    DebugOutput("morvanix: WriteLog: cannot write the event log file");
  }
}

}  // namespace morvanix
