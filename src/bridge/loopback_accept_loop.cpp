// The loopback server's accept loop: one wait on the listener and the stop, an accept, a
// thread for the connection; failed accepts retried and a lost listener bound again.
#include <algorithm>
#include <string>

#include "base/debug_output.h"
#include "base/descriptor_limit.h"
#include "base/socket_calls.h"
#include "base/wait.h"
#include "bridge/connection_threads.h"
#include "bridge/listen_socket.h"
#include "bridge/loopback_server.h"

namespace morvanix {

std::size_t ConnectionCapWithin(std::size_t wanted, std::size_t descriptorLimit) {
  const std::size_t room = descriptorLimit > kDescriptorReserve + kDescriptorsPerConnection
                               ? (descriptorLimit - kDescriptorReserve) / kDescriptorsPerConnection
                               : 1;
  return std::max<std::size_t>(1, std::min(wanted, room));
}

void LoopbackServer::ServeConnection(socket_t sock) {
  // Every wait on the connection is a wait on the socket and the stop; nothing blocks in
  // the kernel.
  if (SetNonBlocking(sock)) server_.ServeRequests(sock, limits_.requestTime, stop_);
  CloseConnection(sock);
}

bool LoopbackServer::Serve() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (listener_ == INVALID_SOCKET || running_.load()) return false;
    running_.store(true);
    if (!stop_.StopRequested()) server_.ShowListener(listener_);
  }
  ConnectionThreads threads(ConnectionCapWithin(limits_.maxConnections, DescriptorLimit()));
  AcceptRetry retry(limits_.acceptRetry);
  bool served = true;
  for (;;) {
    socket_t listener = INVALID_SOCKET;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      listener = listener_;
    }
    if (listener == INVALID_SOCKET) break;
    // An error on the listener counts as ready: the accept then tells.
    if (WaitForSocket(listener, Readiness::kRead, Deadline::Never(), stop_) ==
        WaitOutcome::kStopped) {
      break;
    }
    const AcceptedSocket accepted = accept_ ? accept_(listener) : AcceptConnection(listener);
    if (accepted.sock != INVALID_SOCKET) {
      retry.Succeeded();
      // Waits here while every slot is taken: further connections stay queued in the kernel.
      threads.Run([this, sock = accepted.sock] { ServeConnection(sock); });
      continue;
    }
    if (stop_.StopRequested()) break;
    const AcceptRetry::Step step = retry.Failed(ClassifyAcceptError(accepted.error));
    if (retry.InARow() == 1 || step.rebind) {
      DebugOutput(("morvanix: accept failed with error " + std::to_string(accepted.error) +
                   (step.rebind ? "; binding the endpoint again" : "; trying again"))
                      .c_str());
    }
    if (step.rebind) {
      if (!Rebind()) {
        served = false;
        break;
      }
    } else {
      WaitUntil(Deadline::After(step.wait), stop_);
    }
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    CloseListenerLocked();
  }
  threads.WaitForAll();
  running_.store(false);
  return served;
}

bool LoopbackServer::Rebind() {
  std::string host;
  int port = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    CloseListenerLocked();
    host = host_;
    port = port_;
  }
  for (int tried = 0; tried < limits_.rebindTries; ++tried) {
    if (!WaitUntil(Deadline::After(limits_.rebindWait), stop_)) return true;  // ends on the stop
    std::lock_guard<std::mutex> lock(mutex_);
    if (BindLocked(host, port) > 0) return true;
  }
  DebugOutput("morvanix: the endpoint cannot be bound again");
  return false;
}

}  // namespace morvanix
