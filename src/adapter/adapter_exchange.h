#pragma once

#include <string>

#include "adapter/serial_port.h"

namespace morvanix {

// Sends one command (without terminator) to the adapter and returns its answer with the
// echo, the carriage returns and the ">" prompt taken out; line feeds are kept. "ERROR" when
// the port holds no device. Blocks for at least 100 ms, about 10 s on a silent adapter.
// One exchange at a time per port.
std::string ExchangeCommand(std::string command, SerialPort* port);

}  // namespace morvanix
