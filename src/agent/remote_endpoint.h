#pragma once

#include <string>

// Where the agent posts its messages. The host is fixed when the agent is built; the two
// environment variables MORVANIX_REMOTE_HOST and MORVANIX_REMOTE_PORT override it for
// tests, staging and the demo. Passed explicitly to the transport so that tests never
// have to patch a global.
struct RemoteEndpoint {
  std::string host;
  int port = 80;
};

// The endpoint compiled into the agent (MORVANIX_REMOTE_HOST cache setting, port 80).
RemoteEndpoint BuiltInRemoteEndpoint();

// The built-in endpoint with the environment overrides applied. A malformed port is
// reported through debug output and ignored. Called once at start.
RemoteEndpoint RemoteEndpointFromEnvironment();
