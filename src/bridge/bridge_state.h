#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>

#include "adapter/adapter_name.h"
#include "adapter/serial_port.h"
#include "base/service_types.h"
#include "bridge/loopback_server.h"
#include "remote/connection_keeper.h"
#include "remote/remote_endpoint.h"

namespace morvanix {

// The one process-wide state record, shared by the service threads and the connection
// threads. Fields that several threads write are atomic or guarded by statusLock.
struct BridgeState {
  // Repetitions still allowed to a running "/RMQ/" series.
  std::atomic<std::int32_t> repeatBudget{0};
  // True once discovery has reopened the adapter port on a port where an adapter answered.
  std::atomic<bool> adapterConnected{false};
  // The one serial port through which the adapter is reached; closed until discovery opens it.
  SerialPort adapterPort;
  morvanix::LoopbackServer httpServer;
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
  RemoteEndpoint remote = RemoteEndpointFromEnvironment();
  // The adapter the user named (MORVANIX_ADAPTER), tried first at every check; read once.
  std::optional<NamedAdapter> namedAdapter = NamedAdapterFromEnvironment();
  // The connection to the remote server kept between posts, and what was learned of how
  // that server ends connections.
  ConnectionKeeper keeper;

  // The remote server with the process's current stop: a service stop ends the posts under
  // way, each failing as any failed post.
  RemoteEndpoint Remote() {
    RemoteEndpoint withStop = remote;
    withStop.stop = httpServer.Token();
    withStop.keeper = &keeper;
    return withStop;
  }
};

extern BridgeState bridgeState;

}  // namespace morvanix
