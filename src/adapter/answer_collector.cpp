#include "adapter/answer_collector.h"

#include <chrono>
#include <thread>

namespace morvanix {

namespace {
constexpr auto kPassPause = std::chrono::milliseconds(10);
}

std::size_t DiscardStaleInput(SerialPort& port, int maxPolls) {
  std::size_t dropped = 0;
  for (int poll = 0; poll < maxPolls; ++poll) {
    bool gotByte = false;
    port.ReadChar(gotByte);
    if (!gotByte) break;
    ++dropped;
  }
  return dropped;
}

std::string CollectAnswer(SerialPort& port, const CollectLimits& limits, CollectReport* report) {
  std::string answer;
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
      if (byte == '>') {
        promptSeen = true;
      } else if (byte != '\r' && received >= limits.echo) {
        answer.push_back(byte);
      }
      ++received;
    }
    std::this_thread::sleep_for(kPassPause);
    ++passes;
    if (report != nullptr) report->promptSeen = promptSeen;
    if (promptSeen || passes >= limits.maxPasses ||
        received >= static_cast<std::size_t>(limits.maxReceived)) {
      break;
    }
  }
  return answer;
}

}  // namespace morvanix
