#include "json/json_error_stream.h"

#include <atomic>
#include <iostream>
#include <mutex>
#include <string>

#include "json/json_value.h"

namespace {

std::atomic<std::ostream*> errorStream{nullptr};
std::mutex writeMutex;

// One write under the lock, flushed at once, so lines of different threads never mix.
void writeWholeLine(const std::string& line) {
  std::ostream* stream = errorStream.load();
  if (stream == nullptr) stream = &std::cerr;
  std::lock_guard<std::mutex> lock(writeMutex);
  stream->write(line.data(), static_cast<std::streamsize>(line.size()));
  stream->flush();
}

}  // namespace

namespace morvanix {

void SetJsonErrorStream(std::ostream* stream) {
  errorStream.store(stream);
}

void WriteJsonDiagnostic(std::string_view fixedText, std::string_view offending) {
  std::string line;
  line.reserve(fixedText.size() + offending.size() + 2);
  line.append(fixedText).append(offending).append("'\n");
  writeWholeLine(line);
}

void WriteJsonDiagnosticsDropped(std::size_t count) {
  writeWholeLine("ERROR: Parse: " + std::to_string(count) +
                 " more faults in this text not reported\n");
}

}  // namespace morvanix
