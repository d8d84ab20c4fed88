#include "bridge/route_table.h"

#include "bridge/route_handlers.h"

namespace morvanix {

namespace {

// The handler of one route, bound to the agent it serves.
template <auto handle>
httplib::Server::Handler On(BridgeState& agent) {
  return [&agent](const httplib::Request& request, httplib::Response& response) {
    handle(agent, request, response);
  };
}

}  // namespace

std::array<Route, 4> RouteTable(BridgeState& agent) {
  return {{
      {R"(/AC/(\w+))", On<HandleAgentCheck>(agent)},
      {R"(/RQ/(\w+))", On<HandleRequest>(agent)},
      {R"(/RMQ/(\w+))", On<HandleRepeatedRequest>(agent)},
      {R"(/RSQ/(\w+))", On<HandleStopRepeat>(agent)},
  }};
}

void RegisterRoutes(httplib::Server& server, std::span<const Route> routes) {
  for (const Route& route : routes) server.Get(route.pattern, route.handler);
}

}  // namespace morvanix
