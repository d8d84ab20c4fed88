#pragma once

#include <httplib.h>

#include <array>
#include <span>

namespace morvanix {

struct BridgeState;

struct Route {
  const char* pattern;  // must match the whole path, query string excluded
  httplib::Server::Handler handler;
};

// The loopback API's routes, in the order they are registered, each serving `agent`.
std::array<Route, 4> RouteTable(BridgeState& agent);

// Registers every route as a GET (and so HEAD) route, in order.
void RegisterRoutes(httplib::Server& server, std::span<const Route> routes);

}  // namespace morvanix
