#include "adapter/adapter_name.h"

#include <cstdlib>
#include <string_view>

#include "adapter/ble_link.h"
#include "adapter/serial_device_name.h"
#include "base/debug_output.h"
#include "base/setting_text.h"

namespace morvanix {

namespace {

constexpr std::string_view kTcpScheme = "tcp://";
constexpr std::size_t kMaxNameLength = 1024;

bool HasControlCharacter(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return true;
  }
  return false;
}

// "COM7" in any case: Windows opens COM10 and above only under "\\.\", so the device name
// always gets it.
std::optional<std::string> BareComDevice(const std::string& text) {
  if (text.size() < 4) return std::nullopt;
  std::string upper = text.substr(0, 3);
  for (char& c : upper) c = static_cast<char>(c & ~0x20);
  if (upper != "COM") return std::nullopt;
  const std::string device = "\\\\.\\COM" + text.substr(3);
  if (!ComPortNumber(device)) return std::nullopt;
  return device;
}

}  // namespace

bool IsTcpLinkName(const std::string& name) {
  return name.compare(0, kTcpScheme.size(), kTcpScheme) == 0;
}

bool ParseTcpLinkName(const std::string& name, std::string& host, int& port) {
  if (!IsTcpLinkName(name)) return false;
  const std::string rest = name.substr(kTcpScheme.size());
  const std::size_t colon = rest.rfind(':');
  if (colon == std::string::npos) return false;
  std::string hostPart = rest.substr(0, colon);
  if (hostPart.size() >= 2 && hostPart.front() == '[' && hostPart.back() == ']') {
    hostPart = hostPart.substr(1, hostPart.size() - 2);
  } else if (hostPart.find(':') != std::string::npos) {
    return false;  // an IPv6 address needs its brackets
  }
  if (hostPart.empty() || hostPart.find_first_of("/@[] ") != std::string::npos) return false;
  const std::optional<int> number = ParsePortNumber(std::string_view(rest).substr(colon + 1));
  if (!number) return false;
  host = hostPart;
  port = *number;
  return true;
}

std::optional<NamedAdapter> ParseAdapterName(const std::string& text, std::string* problem) {
  auto fail = [&](const char* why) -> std::optional<NamedAdapter> {
    if (problem != nullptr) *problem = why;
    return std::nullopt;
  };
  if (text.empty()) return fail("is empty");
  if (text.size() > kMaxNameLength) return fail("is too long for a device name");
  if (HasControlCharacter(text)) return fail("holds a control character");
  if (IsBleLinkName(text)) {
    const std::string address = BleLinkAddress(text);
    if (address.empty()) return fail("is not ble: with a device address such as 00:1D:A5:68:98:8A");
    return NamedAdapter{text, kBleLinkScheme + address, false, true};
  }
  if (text.find("://") != std::string::npos) {
    std::string host;
    int port = 0;
    if (!IsTcpLinkName(text)) return fail("names a scheme other than tcp://");
    if (!ParseTcpLinkName(text, host, port)) {
      return fail("is not tcp://HOST:PORT with a port from 1 to 65535");
    }
    return NamedAdapter{text, text, true};
  }
  if (text.find_first_not_of(' ') == std::string::npos) return fail("is blank");
  if (const std::optional<std::string> device = BareComDevice(text)) {
    return NamedAdapter{text, *device, false};
  }
  return NamedAdapter{text, text, false};
}

namespace detail {

std::optional<NamedAdapter> NamedAdapterFrom(const char* value,
                                             const std::function<void(const char*)>& report) {
  if (value == nullptr) return std::nullopt;
  std::string problem;
  std::optional<NamedAdapter> named = ParseAdapterName(value, &problem);
  if (!named) {
    const std::string message = "MORVANIX_ADAPTER " + Quoted(value) + " " + problem +
                                "; ignored, the agent looks for the adapter as usual";
    report(message.c_str());
  }
  return named;
}

}  // namespace detail

std::optional<NamedAdapter> NamedAdapterFromEnvironment() {
  return detail::NamedAdapterFrom(std::getenv("MORVANIX_ADAPTER"), DebugOutput);
}

}  // namespace morvanix
