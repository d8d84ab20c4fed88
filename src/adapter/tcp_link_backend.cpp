#include "adapter/tcp_link_backend.h"

#include <utility>

#include "adapter/adapter_keepalive.h"
#include "adapter/adapter_name.h"
#include "base/io_retry.h"
#include "base/socket_calls.h"
#include "base/wait.h"

namespace morvanix {

namespace {

class TcpLinkBackend final : public SerialBackend {
 public:
  TcpLinkBackend(StopToken stop, Deadline connectBy)
      : stop_(std::move(stop)), connectBy_(connectBy) {}

  int Open(const std::string& portName, const SerialLineSettings&) override {
    Close();
    openError_ = {};
    std::string host;
    int port = 0;
    if (!ParseTcpLinkName(portName, host, port)) {
      openError_ = {false, "not a name of the form tcp://HOST:PORT"};
      return 1;
    }
    TcpConnectReport report;
    socket_.Reset(ConnectTcp(host, port, Deadline::After(kTcpConnectBound).Sooner(connectBy_),
                             stop_, &report));
    if (socket_.Get() == kNoSocket) {
      openError_ = {false,
                    !report.resolveError.empty() ? report.resolveError : report.connectError};
      return 1;
    }
    KeepAdapterConnectionAlive(socket_.Get());
    return 0;
  }

  void Close() override {
    socket_.Reset();
    lost_ = false;
  }

  bool Write(const char* data, std::size_t n, const Deadline& deadline,
             const StopToken& stop) override {
    if (!Usable()) return false;
    std::size_t sent = 0;
    while (sent < n) {
      const std::ptrdiff_t moved = RetryOnSocket(socket_.Get(), deadline, stop, [&] {
        return Tried(SendSome(socket_.Get(), data + sent, n - sent), Readiness::kWrite);
      });
      if (moved <= 0) return false;
      sent += static_cast<std::size_t>(moved);
    }
    return true;
  }

  std::size_t ReadSome(char* buffer, std::size_t n, const Deadline& deadline,
                       const StopToken& stop) override {
    if (!Usable()) return 0;
    const std::ptrdiff_t got = RetryOnSocket(socket_.Get(), deadline, stop, [&] {
      return Tried(ReceiveSome(socket_.Get(), buffer, n), Readiness::kRead);
    });
    // The adapter's end of stream is a lost device as well.
    if (got == 0) lost_ = true;
    return got > 0 ? static_cast<std::size_t>(got) : 0;
  }

  SerialOpenError LastOpenError() const override { return openError_; }
  bool DeviceLost() const override { return lost_; }

 private:
  bool Usable() const { return socket_.Get() != kNoSocket && !lost_; }

  // A send or receive as a try: one that would have to wait waits for `what`; any other
  // failure means the connection is gone, which makes the device lost.
  IoTry Tried(std::ptrdiff_t result, Readiness what) {
    if (result >= 0) return IoTry::Done(result);
    if (LastCallWouldBlock()) return IoTry::WaitsFor(what);
    lost_ = true;
    return IoTry::Done(-1);
  }

  const StopToken stop_;  // ends the connect
  const Deadline connectBy_;
  ScopedSocket socket_;
  bool lost_ = false;
  SerialOpenError openError_;
};

}  // namespace

std::unique_ptr<SerialBackend> MakeTcpLinkBackend(const StopToken& stop,
                                                  const Deadline& connectBy) {
  return std::make_unique<TcpLinkBackend>(stop, connectBy);
}

}  // namespace morvanix
