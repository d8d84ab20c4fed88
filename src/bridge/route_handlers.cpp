#include "bridge/route_handlers.h"

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "adapter/adapter_discovery.h"
#include "base/event_log.h"
#include "bridge/bridge_state.h"
#include "bridge/series_poster.h"
#include "remote/agent_messages.h"
#include "remote/request_executor.h"

namespace morvanix {

namespace {

constexpr std::int32_t kRepeatBudget = 1000;
constexpr const char* kDisconnected = "Unhandled disconnect condition. Please restart session.";

std::string SessionOf(const httplib::Request& request) {
  return request.matches[1].str();
}

void AnswerBlank(httplib::Response& response) {
  response.set_content(" ", "text/plain");
}

// An empty queue is a reply whose first nine characters are NOT_FOUND.
bool NothingQueued(const std::string& reply) {
  return reply.compare(0, 9, "NOT_FOUND") == 0;
}

// One request at a time on the adapter: a request interleaved with another, or with a scan
// that closes the port, would corrupt both answers. A service stop ends the exchange under
// way and leaves the rest of the request out. An exchange closes the port when its device
// went away; the adapter then counts as disconnected until the next agent check finds it.
std::string RunOnAdapter(BridgeState& agent, const std::string& reply) {
  std::lock_guard<std::mutex> lock(agent.adapterLock);
  std::string result = ExecuteRequest(reply, &agent.adapterPort, agent.stop.Token());
  if (!agent.adapterPort.IsOpen()) agent.adapterConnected = false;
  return result;
}

}  // namespace

void HandleAgentCheck(BridgeState& agent, const httplib::Request& request,
                      httplib::Response& response) {
  const std::string ssid = SessionOf(request);
  const RemoteEndpoint remote = agent.Remote();
  WriteLog("Got check request. Sending back SWIDENT", "");
  agent.EndSeries();
  SendAgentCheck(remote, ssid);
  std::optional<std::string> discovered;
  {
    std::lock_guard<std::mutex> lock(agent.adapterLock);
    discovered = DiscoverAdapter(&agent.adapterPort, &agent.adapterConnected, agent.stop.Token(),
                                 agent.namedAdapter);
  }
  // Posted after the lock is released: a remote server that is slow to take the report
  // must not hold up the requests waiting for the adapter.
  if (discovered) SendInterfaceCheck(remote, ssid, *discovered);
  AnswerBlank(response);
}

void HandleRequest(BridgeState& agent, const httplib::Request& request, httplib::Response&) {
  const std::string ssid = SessionOf(request);
  const RemoteEndpoint remote = agent.Remote();
  const bool connected = agent.adapterConnected;
  agent.EndSeries();  // ends a series running on another connection
  if (!connected) {
    WriteLog(kDisconnected, "");
    return;
  }
  const std::string reply = FetchRequest(remote, ssid);
  if (NothingQueued(reply)) return;
  SendResponse(remote, RunOnAdapter(agent, reply), ssid);
}

void HandleRepeatedRequest(BridgeState& agent, const httplib::Request& request,
                           httplib::Response& response) {
  const std::string ssid = SessionOf(request);
  const RemoteEndpoint remote = agent.Remote();
  if (!agent.adapterConnected) {
    WriteLog(kDisconnected, "");
  } else if (const std::string reply = FetchRequest(remote, ssid); !NothingQueued(reply)) {
    if (reply.empty()) {
      // A failed fetch is answered once, as a single request is: repeating it would only
      // hammer a server that is already failing.
      SendResponse(remote, RunOnAdapter(agent, reply), ssid);
    } else {
      // Each result is posted while the adapter runs the next repetition, in order; every
      // result made is posted before the browser is answered.
      SeriesPoster poster([&](const std::string& result) { SendResponse(remote, result, ssid); },
                          remote.stop);
      agent.repeatBudget = kRepeatBudget;
      std::int32_t left = 0;
      do {
        if (!poster.Add(RunOnAdapter(agent, reply))) break;  // a stop while waiting for room
        // One atomic step, so that a stop stored between a read and a write cannot be lost.
        left = agent.repeatBudget.fetch_sub(1) - 1;
        // A service stop waits for this connection: a stop that came while the request was
        // fetched, before the budget was set, must end the series as well.
        // An unplugged adapter ends the series rather than post a thousand "ERROR" results.
      } while (left > 0 && !remote.stop.StopRequested() && agent.adapterConnected);
      poster.Finish();
    }
  }
  AnswerBlank(response);
}

void HandleStopRepeat(BridgeState& agent, const httplib::Request&, httplib::Response& response) {
  agent.EndSeries();  // never waits for the adapter
  AnswerBlank(response);
}

}  // namespace morvanix
