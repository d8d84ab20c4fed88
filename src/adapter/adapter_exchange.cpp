#include "adapter/adapter_exchange.h"

#include <chrono>
#include <thread>

#include "adapter/answer_collector.h"

namespace morvanix {

namespace {

// A stream that never falls silent must not hold the exchange; a silent driver queue ends
// the discard at its first poll.
constexpr int kMaxDiscardPolls = 4096;
constexpr auto kAnswerDelay = std::chrono::milliseconds(100);
constexpr morvanix::CollectLimits kExchangeLimits{500, 100, 0};

}  // namespace

std::string ExchangeCommand(std::string command, SerialPort* port) {
  command.push_back('\r');
  if (port == nullptr || !port->IsOpen()) return "ERROR";
  morvanix::DiscardStaleInput(*port, kMaxDiscardPolls);
  port->Write(command.c_str());
  std::this_thread::sleep_for(kAnswerDelay);
  morvanix::CollectLimits limits = kExchangeLimits;
  limits.echo = command.size() - 1;  // the adapter echoes the command's characters
  return morvanix::CollectAnswer(*port, limits);
}

}  // namespace morvanix
