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
// An answer is read to its prompt: the adapter takes any byte sent while it still answers
// as an interrupt. The byte bound only protects memory (far above any real answer); the
// duration bound is for an adapter that never falls silent.
constexpr int kMaxPasses = 500;
constexpr int kMaxAnswerBytes = 64 * 1024;
constexpr auto kMaxCollect = std::chrono::seconds(20);

}  // namespace

std::string ExchangeCommand(std::string command, SerialPort* port) {
  command.push_back('\r');
  if (port == nullptr || !port->IsOpen()) return "ERROR";
  DiscardStaleInput(*port, kMaxDiscardPolls);
  port->Write(command.c_str());
  std::this_thread::sleep_for(kAnswerDelay);
  CollectLimits limits{kMaxPasses, kMaxAnswerBytes};
  // What went out: a command is cut at the port's write limit.
  limits.echo = std::string_view(command).substr(0, command.size() - 1);
  if (limits.echo.size() > SerialPort::kMaxWrite)
    limits.echo = limits.echo.substr(0, SerialPort::kMaxWrite);
  limits.maxDuration = kMaxCollect;
  std::string answer = CollectAnswer(*port, limits);
  // An unplugged adapter: the rest of the request gets "ERROR" at once, and the routes see
  // the port closed.
  if (port->DeviceLost()) port->Close();
  return answer;
}

}  // namespace morvanix
