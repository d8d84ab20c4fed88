#include "adapter/answer_collector.h"

#include <algorithm>
#include <array>

#include "base/deadline.h"

namespace morvanix {

namespace {

// One read's worth: a whole answer of a usual adapter comes in one or two.
constexpr std::size_t kReadChunk = 512;

// Sorts the bytes of one answer: the echo first, then the kept text.
class AnswerText {
 public:
  explicit AnswerText(std::string_view echo) : echo_(echo), echoDecided_(echo.empty()) {}

  void Add(char byte) {
    if (byte == '\0') return;  // some adapters put a NUL before their answers
    if (echoDecided_) {
      Keep(byte);
      return;
    }
    pending_.push_back(byte);
    if (pending_.size() == echo_.size()) DecideEcho();
  }

  // The answer so far; bytes still waiting to show whether they are the echo count as the
  // echo when they begin it (an echo cut short), as kept text otherwise.
  std::string Finish() {
    if (!echoDecided_ && echo_.substr(0, pending_.size()) != pending_) DecideEcho();
    return text_;
  }

 private:
  void DecideEcho() {
    echoDecided_ = true;
    if (pending_ != echo_) {
      for (char byte : pending_) Keep(byte);
    }
    pending_.clear();
  }
  void Keep(char byte) {
    if (byte != '\r' && byte != '>') text_.push_back(byte);
  }

  std::string_view echo_;
  bool echoDecided_;
  std::string pending_;
  std::string text_;
};

}  // namespace

std::size_t DrainInput(SerialPort& port, std::size_t maxBytes) {
  std::array<char, kReadChunk> chunk;
  std::size_t dropped = 0;
  while (dropped < maxBytes && !port.DeviceLost()) {
    const std::size_t want = std::min(chunk.size(), maxBytes - dropped);
    // A deadline already passed: what is there, and no wait for more.
    const std::size_t got = port.ReadSome(chunk.data(), want, Deadline::At(SteadyClock::now()), {});
    if (got == 0) break;
    dropped += got;
  }
  return dropped;
}

std::string CollectAnswer(SerialPort& port, const CollectLimits& limits, const StopToken& stop,
                          CollectReport* report) {
  const Deadline end = Deadline::After(limits.total);
  AnswerText answer(limits.echo);
  std::array<char, kReadChunk> chunk;
  std::size_t received = 0;
  bool promptSeen = false;
  while (!promptSeen && received < limits.maxBytes) {
    const Deadline quiet = Deadline::After(limits.silence).Sooner(end);
    const std::size_t want = std::min(chunk.size(), limits.maxBytes - received);
    const std::size_t got = port.ReadSome(chunk.data(), want, quiet, stop);
    if (got == 0) break;  // silence, the time bound, the stop or a lost device
    for (std::size_t i = 0; i < got && !promptSeen; ++i) {
      const char byte = chunk[i];
      if (report != nullptr) report->raw.push_back(byte);
      promptSeen = byte == '>';
      answer.Add(byte);
    }
    received += got;
  }
  if (report != nullptr) report->promptSeen = promptSeen;
  return answer.Finish();
}

}  // namespace morvanix
