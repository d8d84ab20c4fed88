#include "json/json_error_stream.h"

#include <atomic>
#include <iostream>
#include <mutex>

#include "json/json_value.h"

namespace {

std::atomic<std::ostream*> errorStream{nullptr};
std::mutex writeMutex;

}  // namespace

namespace morvanix {

void SetJsonErrorStream(std::ostream* stream) {
  errorStream.store(stream);
}

void WriteJsonDiagnostic(std::string_view fixedText, std::string_view offending) {
  std::ostream* stream = errorStream.load();
  if (stream == nullptr) stream = &std::cerr;
  std::lock_guard<std::mutex> lock(writeMutex);
  stream->write(fixedText.data(), static_cast<std::streamsize>(fixedText.size()));
  stream->write(offending.data(), static_cast<std::streamsize>(offending.size()));
  stream->write("'\n", 2);
  stream->flush();
}

}  // namespace morvanix
