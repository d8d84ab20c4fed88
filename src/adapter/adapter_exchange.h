#pragma once

#include <string>

#include "adapter/serial_port.h"

namespace morvanix {

// Sends one command (without terminator) to the adapter and returns its answer, read to the
// ">" prompt, with the echo (when the answer begins with it), the carriage returns, NUL bytes
// and the prompt taken out; line feeds are kept. "ERROR" when the port holds no device. A
// port whose device went away during the exchange is closed. Blocks for at least 100 ms,
// about 10 s on a silent adapter. One exchange at a time per port.
std::string ExchangeCommand(std::string command, SerialPort* port);

}  // namespace morvanix
