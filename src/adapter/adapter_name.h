#pragma once

#include <functional>
#include <optional>
#include <string>

namespace morvanix {

// An adapter the user names in MORVANIX_ADAPTER: a serial device ("COM7", "\\.\COM42",
// "/dev/rfcomm0", any path), a TCP adapter ("tcp://HOST:PORT") or a BLE adapter
// ("ble:<address>").
struct NamedAdapter {
  std::string given;     // as the user wrote it; the report says "on <given>"
  std::string portName;  // what SerialPort opens: "\\.\COM7", a path, "tcp://HOST:PORT" or
                         // "ble:<ADDRESS>"
  bool tcp = false;
  bool ble = false;  // the report says "on BLE <ADDRESS>", as for a BLE adapter found
};

// The name's meaning, or nothing when it is malformed (empty, control characters, a scheme
// other than tcp://, a TCP name without a host or with a port outside 1 to 65535, ble: without
// a device address); problem
// then says why in a few words.
std::optional<NamedAdapter> ParseAdapterName(const std::string& text, std::string* problem);

// True for a port name "tcp://..." that SerialPort opens over TCP.
bool IsTcpLinkName(const std::string& name);

// Splits "tcp://HOST:PORT" (HOST may be a bracketed IPv6 address, given without the brackets);
// false for any other name.
bool ParseTcpLinkName(const std::string& name, std::string& host, int& port);

// MORVANIX_ADAPTER, read once by the caller at start. A malformed value is reported on the
// debug output and ignored.
std::optional<NamedAdapter> NamedAdapterFromEnvironment();

// Test seam: the value of the variable (nullptr when not set), with the report's sink.
namespace detail {
std::optional<NamedAdapter> NamedAdapterFrom(const char* value,
                                             const std::function<void(const char*)>& report);
}

}  // namespace morvanix
