#pragma once

#include <string>

#include "adapter/serial_port.h"
#include "base/stop_token.h"

namespace morvanix {

// Sends one command (without terminator) to the adapter and returns its answer, read to the
// ">" prompt, with the echo (when the answer begins with it), the carriage returns, NUL bytes
// and the prompt taken out; line feeds are kept. "ERROR" when the port holds no device. What
// the driver held before the command is thrown away first. Returns as soon as the prompt is
// read; a silent adapter costs about 10 s, one that never falls silent 20 s at most, and the
// stop ends the exchange at once with what came so far (after a stop nothing is sent). A port
// whose device went away during the exchange is closed. One exchange at a time per port.
std::string ExchangeCommand(std::string command, SerialPort* port, const StopToken& stop = {});

}  // namespace morvanix
