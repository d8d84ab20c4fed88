#pragma once

#include <string>

namespace morvanix::stub {

// The control API can rewrite what the agent is told, so the stand-in listens on loopback
// addresses only; with `allowTestNet`, also on 203.0.113.0/24, a range reserved for
// documentation that is never routed, used by tests that need a non-loopback ("public")
// address inside a private network namespace.
bool ListenAddressAllowed(const std::string& host, bool allowTestNet);

}  // namespace morvanix::stub
