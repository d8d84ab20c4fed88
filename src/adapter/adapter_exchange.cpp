#include "adapter/adapter_exchange.h"

#include <chrono>

#include "adapter/answer_collector.h"

namespace morvanix {

namespace {

// What an earlier answer left behind is thrown away before the command goes out; a stream
// that never falls silent must not hold the exchange.
constexpr std::size_t kMaxDrainBytes = 64 * 1024;
// An answer is read to its prompt: the adapter takes any byte sent while it still answers
// as an interrupt, and it is ready for the next command once the prompt is out. The silence
// bound is for an adapter that never answers, the total for one that never falls silent,
// the byte bound protects memory (far above any real answer).
constexpr CollectLimits kExchangeLimits{std::chrono::seconds(10), std::chrono::seconds(20),
                                        64 * 1024};

}  // namespace

std::string ExchangeCommand(std::string command, SerialPort* port, const StopToken& stop) {
  command.push_back('\r');
  if (port == nullptr || !port->IsOpen()) return "ERROR";
  DrainInput(*port, kMaxDrainBytes);
  port->Write(command.c_str(), stop);
  CollectLimits limits = kExchangeLimits;
  // What went out: a command is cut at the port's write limit.
  limits.echo = std::string_view(command).substr(0, command.size() - 1);
  if (limits.echo.size() > SerialPort::kMaxWrite)
    limits.echo = limits.echo.substr(0, SerialPort::kMaxWrite);
  std::string answer = CollectAnswer(*port, limits, stop);
  // An unplugged adapter: the rest of the request gets "ERROR" at once, and the routes see
  // the port closed.
  if (port->DeviceLost()) port->Close();
  return answer;
}

}  // namespace morvanix
