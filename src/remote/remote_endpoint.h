#pragma once

#include <functional>
#include <string>
#include <utility>

#include "base/stop_token.h"

namespace morvanix {

class ConnectionKeeper;

// Where the agent posts its messages. The host is fixed when the agent is built; the two
// environment variables MORVANIX_REMOTE_HOST and MORVANIX_REMOTE_PORT override it for
// tests, staging and the demo. Passed explicitly to the transport so that tests never
// have to patch a global.
struct RemoteEndpoint {
  RemoteEndpoint() = default;
  RemoteEndpoint(std::string hostName, int portNumber = 80)
      : host(std::move(hostName)), port(portNumber) {}

  std::string host;
  int port = 80;
  // The stop a post to this endpoint ends at (a service stop): it then fails as any failed
  // post. Callers hand the process's current token with each use.
  StopToken stop;
  // Where the connection between posts is kept, and in the HTTPS build the TLS context the
  // connections share; without one nothing is kept, each post a connection (and a TLS
  // context) of its own.
  ConnectionKeeper* keeper = nullptr;
};

// The endpoint compiled into the agent (MORVANIX_REMOTE_HOST cache setting, port 80).
RemoteEndpoint BuiltInRemoteEndpoint();

// The built-in endpoint with the environment overrides applied. A malformed port is
// reported through debug output and ignored. Called once at start.
RemoteEndpoint RemoteEndpointFromEnvironment();

// Test seams.
namespace detail {

// Applies the two override values (nullptr when the variable is not set) to base. An empty
// host or a malformed port is passed to report and ignored.
RemoteEndpoint ApplyRemoteEndpointOverrides(RemoteEndpoint base, const char* host, const char* port,
                                            const std::function<void(const char*)>& report);

}  // namespace detail

}  // namespace morvanix
