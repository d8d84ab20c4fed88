#pragma once

#include <atomic>
#include <optional>
#include <string>

#include "adapter/serial_port.h"

namespace morvanix {

// Looks for the adapter on "\\.\COM1" to "\\.\COM16" by sending each the reset command
// "ATZ" at 38400 baud; the first device whose answer starts with the echo "ATZ" is taken
// (an unechoed answer that ends with the prompt gets a second "ATZ"). When none answers so,
// the devices that opened are tried again at the other probe rates, lowest number first, and
// the adapter port opens at the rate that answered.
// adapterPort is closed first and reopened on that device; adapterConnected is false from
// the start and true only when that reopen succeeded. Returns the identification text of
// the adapter that answered ("<banner> on COM<n>"), also when the reopen failed, or nothing
// when no device answered; reporting it is the caller's business.
std::optional<std::string> DiscoverAdapter(SerialPort* adapterPort,
                                           std::atomic<bool>* adapterConnected);

}  // namespace morvanix
