#pragma once

#include <functional>
#include <string>

namespace morvanix {

class SerialPort;

// Says whether the service is stopping; asked between two commands of a request.
using StopCheck = std::function<bool()>;

// Runs one fetched request on the adapter: every command of the request's command object in
// key order, through ExchangeCommand on the given port. Returns the result text that
// SendResponse posts: {"id": <the request's id>, "result": <the results object as text>}.
// Once `stopped` (when given) says true, the commands not yet run are left out and the result
// holds those that ran.
std::string ExecuteRequest(std::string requestText, SerialPort* port,
                           const StopCheck& stopped = {});

// Test seams.
namespace detail {

// The same with the adapter exchange supplied by the caller (one command in, its answer
// out), so that the request logic can be driven without a serial device.
using CommandExchange = std::function<std::string(const std::string& command)>;
std::string ExecuteRequestWith(const std::string& requestText, const CommandExchange& exchange,
                               const StopCheck& stopped = {});

// Replaces every occurrence of `from` in `text` by `to`, never searching inserted text again.
// An empty `from` leaves the text unchanged.
void ReplaceAll(std::string& text, const std::string& from, const std::string& to);

}  // namespace detail

}  // namespace morvanix
