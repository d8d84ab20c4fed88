#include "remote/remote_endpoint.h"

#include <cstdlib>

#include "base/debug_output.h"
#include "base/setting_text.h"

namespace morvanix {

#ifndef MORVANIX_BUILT_IN_REMOTE_HOST
#define MORVANIX_BUILT_IN_REMOTE_HOST "127.0.0.1"
#endif

namespace {

#ifdef MORVANIX_REMOTE_TLS
constexpr int kRemotePort = 443;
#else
constexpr int kRemotePort = 80;
#endif
}  // namespace

RemoteEndpoint BuiltInRemoteEndpoint() {
  return RemoteEndpoint{MORVANIX_BUILT_IN_REMOTE_HOST, kRemotePort};
}

namespace detail {

RemoteEndpoint ApplyRemoteEndpointOverrides(RemoteEndpoint base, const char* host, const char* port,
                                            const std::function<void(const char*)>& report) {
  if (host != nullptr) {
    if (*host == '\0') {
      report("MORVANIX_REMOTE_HOST is empty; keeping the built-in remote host");
    } else {
      base.host = host;
    }
  }
  if (port != nullptr) {
    if (const auto parsed = ParsePortNumber(port)) {
      base.port = *parsed;
    } else {
      const std::string message = "MORVANIX_REMOTE_PORT " + Quoted(port) +
                                  " is not a port number from 1 to 65535; keeping port " +
                                  std::to_string(base.port);
      report(message.c_str());
    }
  }
  return base;
}

}  // namespace detail

RemoteEndpoint RemoteEndpointFromEnvironment() {
  return detail::ApplyRemoteEndpointOverrides(BuiltInRemoteEndpoint(),
                                              std::getenv("MORVANIX_REMOTE_HOST"),
                                              std::getenv("MORVANIX_REMOTE_PORT"), DebugOutput);
}

}  // namespace morvanix
