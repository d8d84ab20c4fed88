#include <chrono>

#include "base/socket_calls.h"
#include "diagnose/diagnose_platform.h"

namespace morvanix {

ConnectResult ConnectOnce(const std::string& host, int port, std::chrono::milliseconds bound,
                          const std::function<void(SocketHandle)>& connected) {
  TcpConnectReport report;
  const auto start = std::chrono::steady_clock::now();
  ScopedSocket sock(ConnectTcp(host, port, Deadline::After(bound), StopToken(), &report));
  ConnectResult result;
  result.milliseconds =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  result.addresses = report.addresses;
  result.resolveError = report.resolveError;
  result.address = report.address;
  result.connected = sock.Get() != kNoSocket;
  result.connectError = report.connectError;
  if (result.connected && connected) connected(sock.Get());
  return result;
}

}  // namespace morvanix
