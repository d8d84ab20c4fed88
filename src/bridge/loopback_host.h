#pragma once

#include <string_view>

namespace morvanix {

// True when a request's Host header names this endpoint: "127.0.0.1" or "localhost" in any
// letter case, alone or followed by ":" and the port being served. A page whose own name
// has been made to resolve to 127.0.0.1 sends its own name here, so the agent can tell it
// from the pages that mean to call it.
bool IsLoopbackHost(std::string_view host, int port);

}  // namespace morvanix
