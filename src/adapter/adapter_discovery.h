#pragma once

#include <atomic>
#include <string>

#include "adapter/serial_port.h"
#include "agent/remote_endpoint.h"

// Looks for the adapter on "\\.\COM1" to "\\.\COM16" by sending each the reset command
// "ATZ" at 38400 baud; the first device whose answer starts with the echo "ATZ" is taken.
// adapterPort is closed first and reopened on that device; adapterConnected is false from
// the start and true only when that reopen succeeded. When an adapter answered, one
// INTERFACE_CHECK names it ("<banner> on COM<n>"); otherwise nothing is sent.
void DiscoverAdapter(const std::string& ssid, SerialPort* adapterPort,
                     std::atomic<bool>* adapterConnected, const RemoteEndpoint& remote);
