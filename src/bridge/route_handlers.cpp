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
// way and leaves the rest of the request out.
std::string ExecuteOnAdapter(const std::string& reply) {
  std::lock_guard<std::mutex> lock(bridgeState.adapterLock);
  return ExecuteRequest(reply, &bridgeState.adapterPort, bridgeState.httpServer.Token());
}

// An exchange closes the port when its device went away; the adapter then counts as
// disconnected until the next agent check finds it.
std::string RunOnAdapter(const std::string& reply) {
  std::string result = ExecuteOnAdapter(reply);
  std::lock_guard<std::mutex> lock(bridgeState.adapterLock);
  if (!bridgeState.adapterPort.IsOpen()) bridgeState.adapterConnected = false;
  return result;
}

}  // namespace

void HandleAgentCheck(const httplib::Request& request, httplib::Response& response) {
  const std::string ssid = SessionOf(request);
  const RemoteEndpoint remote = bridgeState.Remote();
  WriteLog("Got check request. Sending back SWIDENT", "");
  bridgeState.repeatBudget = 0;
  SendAgentCheck(remote, ssid);
  std::optional<std::string> discovered;
  {
    std::lock_guard<std::mutex> lock(bridgeState.adapterLock);
    discovered = DiscoverAdapter(&bridgeState.adapterPort, &bridgeState.adapterConnected,
                                 bridgeState.httpServer.Token(), bridgeState.namedAdapter);
  }
  // Posted after the lock is released: a remote server that is slow to take the report
  // must not hold up the requests waiting for the adapter.
  if (discovered) SendInterfaceCheck(remote, ssid, *discovered);
  AnswerBlank(response);
}

void HandleRequest(const httplib::Request& request, httplib::Response&) {
  const std::string ssid = SessionOf(request);
  const RemoteEndpoint remote = bridgeState.Remote();
  const bool connected = bridgeState.adapterConnected;
  bridgeState.repeatBudget = 0;  // ends a series running on another connection
  if (!connected) {
    WriteLog(kDisconnected, "");
    return;
  }
  const std::string reply = FetchRequest(remote, ssid);
  if (NothingQueued(reply)) return;
  SendResponse(remote, RunOnAdapter(reply), ssid);
}

void HandleRepeatedRequest(const httplib::Request& request, httplib::Response& response) {
  const std::string ssid = SessionOf(request);
  const RemoteEndpoint remote = bridgeState.Remote();
  if (!bridgeState.adapterConnected) {
    WriteLog(kDisconnected, "");
  } else if (const std::string reply = FetchRequest(remote, ssid); !NothingQueued(reply)) {
    if (reply.empty()) {
      // A failed fetch is answered once, as a single request is: repeating it would only
      // hammer a server that is already failing.
      SendResponse(remote, RunOnAdapter(reply), ssid);
    } else {
      // Each result is posted while the adapter runs the next repetition, in order; every
      // result made is posted before the browser is answered.
      SeriesPoster poster([&](const std::string& result) { SendResponse(remote, result, ssid); },
                          remote.stop);
      bridgeState.repeatBudget = kRepeatBudget;
      std::int32_t left = 0;
      do {
        if (!poster.Add(RunOnAdapter(reply))) break;  // a stop while waiting for room
        // One atomic step, so that a stop stored between a read and a write cannot be lost.
        left = bridgeState.repeatBudget.fetch_sub(1) - 1;
        // A service stop waits for this connection: a stop that came while the request was
        // fetched, before the budget was set, must end the series as well.
        // An unplugged adapter ends the series rather than post a thousand "ERROR" results.
      } while (left > 0 && !remote.stop.StopRequested() && bridgeState.adapterConnected);
      poster.Finish();
    }
  }
  AnswerBlank(response);
}

void HandleStopRepeat(const httplib::Request&, httplib::Response& response) {
  bridgeState.repeatBudget = 0;  // never waits for the adapter
  AnswerBlank(response);
}

}  // namespace morvanix
