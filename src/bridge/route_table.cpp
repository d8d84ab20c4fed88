#include "bridge/route_table.h"

#include "bridge/route_handlers.h"

namespace morvanix {

const std::array<Route, 4>& RouteTable() {
  static const std::array<Route, 4> routes = {{
      {R"(/AC/(\w+))", HandleAgentCheck},
      {R"(/RQ/(\w+))", HandleRequest},
      {R"(/RMQ/(\w+))", HandleRepeatedRequest},
      {R"(/RSQ/(\w+))", HandleStopRepeat},
  }};
  return routes;
}

void RegisterRoutes(httplib::Server& server, std::span<const Route> routes) {
  for (const Route& route : routes) server.Get(route.pattern, route.handler);
}

}  // namespace morvanix
