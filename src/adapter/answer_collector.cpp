#include "adapter/answer_collector.h"

#include <thread>

namespace morvanix {

namespace {

constexpr auto kPassPause = std::chrono::milliseconds(10);

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

std::size_t DiscardStaleInput(SerialPort& port, int maxPolls) {
  std::size_t dropped = 0;
  for (int poll = 0; poll < maxPolls && !port.DeviceLost(); ++poll) {
    bool gotByte = false;
    port.ReadChar(gotByte);
    if (!gotByte) break;
    ++dropped;
  }
  return dropped;
}

std::string CollectAnswer(SerialPort& port, const CollectLimits& limits, CollectReport* report) {
  const auto started = std::chrono::steady_clock::now();
  AnswerText answer(limits.echo);
  std::size_t received = 0;
  int passes = 0;
  bool promptSeen = false;
  for (;;) {
    promptSeen = false;
    for (int inPass = 0; inPass < kMaxPassBytes; ++inPass) {
      bool gotByte = false;
      const char byte = port.ReadChar(gotByte);
      if (!gotByte) break;
      if (report != nullptr) report->raw.push_back(byte);
      if (byte == '>') promptSeen = true;
      answer.Add(byte);
      ++received;
    }
    if (report != nullptr) report->promptSeen = promptSeen;
    if (port.DeviceLost()) break;
    std::this_thread::sleep_for(kPassPause);
    ++passes;
    if (promptSeen || passes >= limits.maxPasses ||
        received >= static_cast<std::size_t>(limits.maxReceived)) {
      break;
    }
    if (limits.maxDuration.count() > 0 &&
        std::chrono::steady_clock::now() - started >= limits.maxDuration) {
      break;
    }
  }
  return answer.Finish();
}

}  // namespace morvanix
