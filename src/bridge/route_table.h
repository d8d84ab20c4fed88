#pragma once

#include <httplib.h>

#include <array>
#include <span>

namespace morvanix {

struct Route {
  const char* pattern;  // must match the whole path, query string excluded
  httplib::Server::Handler handler;
};

// The loopback API's routes, in the order they are registered.
const std::array<Route, 4>& RouteTable();

// Registers every route as a GET (and so HEAD) route, in order.
void RegisterRoutes(httplib::Server& server, std::span<const Route> routes);

}  // namespace morvanix
