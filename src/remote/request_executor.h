#pragma once

#include <functional>
#include <string>

#include "base/stop_token.h"

namespace morvanix {

class SerialPort;

// Runs one fetched request on the adapter: every command of the request's command object in
// key order, through ExchangeCommand on the given port. Returns the result text that
// SendResponse posts: {"id": <the request's id>, "result": <the results object as text>}.
// The stop ends the exchange under way at once; the commands not yet run are left out and
// the result holds those that ran.
std::string ExecuteRequest(std::string requestText, SerialPort* port, const StopToken& stop = {});

// Test seams.
namespace detail {

// The same with the adapter exchange supplied by the caller (one command in, its answer
// out), so that the request logic can be driven without a serial device.
using CommandExchange = std::function<std::string(const std::string& command)>;
std::string ExecuteRequestWith(const std::string& requestText, const CommandExchange& exchange,
                               const StopToken& stop = {});

// Replaces every occurrence of `from` in `text` by `to`, never searching inserted text again.
// An empty `from` leaves the text unchanged.
void ReplaceAll(std::string& text, const std::string& from, const std::string& to);

}  // namespace detail

}  // namespace morvanix
