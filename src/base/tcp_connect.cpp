#include <algorithm>

#include "base/socket_calls.h"

namespace morvanix {

SocketHandle ConnectTcp(const std::string& host, int port, const Deadline& deadline,
                        const StopToken& stop, TcpConnectReport* report) {
  TcpConnectReport scratch;
  TcpConnectReport& said = report != nullptr ? *report : scratch;
  const std::vector<SocketAddress> addresses = ResolveTcp(host, port, said.resolveError);
  for (const SocketAddress& address : addresses) {
    if (std::find(said.addresses.begin(), said.addresses.end(), address.text) ==
        said.addresses.end()) {
      said.addresses.push_back(address.text);
    }
  }
  // Every address in turn until one takes the connection: a host that names ::1 first while
  // the server listens on 127.0.0.1 is still reached.
  for (const SocketAddress& address : addresses) {
    said.address = address.text;
    ScopedSocket sock(OpenStreamSocket(address.family));
    if (sock.Get() == kNoSocket) {
      said.connectError = SocketErrorText(LastSocketError());
      continue;
    }
    int state = StartConnect(sock.Get(), address.bytes.data(), address.length);
    int error = state < 0 ? LastSocketError() : 0;
    if (state == 1) {
      switch (WaitForSocket(sock.Get(), Readiness::kWrite, deadline, stop)) {
        case WaitOutcome::kReady:
        case WaitOutcome::kHangUp:
          state = ConnectionMade(sock.Get()) ? 0 : -1;
          if (state < 0) error = LastSocketError();
          break;
        case WaitOutcome::kTimedOut:
          said.connectError = SocketErrorText(TimedOutError());
          return kNoSocket;
        case WaitOutcome::kStopped:
          said.connectError = "stopped";
          return kNoSocket;
        case WaitOutcome::kFailed:
          state = -1;
          error = LastSocketError();
          break;
      }
    }
    if (state == 0) {
      SendWithoutDelay(sock.Get());
      KeepAlive(sock.Get());
      said.connectError.clear();
      return sock.Release();
    }
    said.connectError = SocketErrorText(error);
    if (deadline.Passed() || stop.StopRequested()) return kNoSocket;
  }
  return kNoSocket;
}

}  // namespace morvanix
