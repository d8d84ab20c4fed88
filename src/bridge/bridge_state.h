#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <utility>

#include "adapter/adapter_name.h"
#include "adapter/serial_port.h"
#include "base/service_types.h"
#include "base/stop_token.h"
#include "bridge/loopback_server.h"
#include "remote/connection_keeper.h"
#include "remote/remote_endpoint.h"

namespace morvanix {

// The agent's state: made once when the service starts and handed to the worker, the routes
// and the control handler, which share it. Fields that several threads write are atomic or
// guarded by statusLock.
struct BridgeState {
  // The settings come from the environment in the running service (FromEnvironment); tests
  // name their own.
  explicit BridgeState(RemoteEndpoint remoteServer = {},
                       std::optional<NamedAdapter> adapterNamed = std::nullopt)
      : remote(std::move(remoteServer)), namedAdapter(std::move(adapterNamed)) {}
  BridgeState(const BridgeState&) = delete;
  BridgeState& operator=(const BridgeState&) = delete;

  // Reads MORVANIX_REMOTE_HOST, MORVANIX_REMOTE_PORT and MORVANIX_ADAPTER, in that order.
  static BridgeState FromEnvironment();

  // The one stop of the agent: ends the accept loop, every connection's wait, the exchange
  // with the adapter, a scan and the posts under way.
  StopSource stop;
  // Repetitions still allowed to a running "/RMQ/" series.
  std::atomic<std::int32_t> repeatBudget{0};
  // True once discovery has reopened the adapter port on a port where an adapter answered.
  std::atomic<bool> adapterConnected{false};
  // The one serial port through which the adapter is reached; closed until discovery opens it.
  SerialPort adapterPort;
  morvanix::LoopbackServer httpServer{stop.Token()};
  ServiceStatusHandle statusHandle = nullptr;
  // The status last reported; read and written under statusLock only.
  ServiceStatus serviceStatus;
  // Orders the control handler against the service main thread, so that a stop accepted
  // while RUNNING is always reported before STOPPED.
  std::mutex statusLock;
  // One user of adapterPort at a time: a whole request, a whole scan, or one repetition of a
  // series. "/RSQ/" never takes it, so a stop is always answered at once.
  std::mutex adapterLock;
  // The remote server the messages go to, read once at start.
  RemoteEndpoint remote;
  // The adapter the user named (MORVANIX_ADAPTER), tried first at every check; read once.
  std::optional<NamedAdapter> namedAdapter;
  // The connection to the remote server kept between posts, what was learned of how that
  // server ends connections, and in the HTTPS build the TLS context of the agent's posts. Every
  // post runs on a thread joined before this state goes (the server's connection threads end
  // before Serve returns, the worker before STOPPED is reported), so none outlives it.
  ConnectionKeeper keeper;

  // The remote server with the agent's stop: a service stop ends the posts under way, each
  // failing as any failed post. Every post gets its endpoint here.
  RemoteEndpoint Remote() {
    RemoteEndpoint withStop = remote;
    withStop.stop = stop.Token();
    withStop.keeper = &keeper;
    return withStop;
  }

  // Ends a running series after its current repetition; "/RSQ/", every other route and the
  // service stop end it this way.
  void EndSeries() { repeatBudget = 0; }
};

}  // namespace morvanix
