#include "adapter/tcp_link_backend.h"

#include "adapter/adapter_keepalive.h"
#include "adapter/adapter_name.h"
#include "base/socket_calls.h"
#include "base/wait.h"

namespace morvanix {

namespace {

// The same bound as a serial port's write: 15 ms a byte plus 100 ms.
constexpr int kWriteMsPerByte = 15;
constexpr int kWriteBaseMs = 100;

class TcpLinkBackend final : public SerialBackend {
 public:
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
    socket_.Reset(ConnectTcp(host, port, Deadline::After(kTcpConnectBound), StopToken(), &report));
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

  bool Write(const char* data, std::size_t n, const Deadline&, const StopToken&) override {
    if (!Usable()) return false;
    const Deadline deadline = Deadline::After(
        std::chrono::milliseconds(kWriteMsPerByte * static_cast<long long>(n) + kWriteBaseMs));
    std::size_t sent = 0;
    while (sent < n) {
      const std::ptrdiff_t moved = Moved(SendSome(socket_.Get(), data + sent, n - sent));
      if (moved < 0) return false;
      sent += static_cast<std::size_t>(moved);
      if (moved == 0 && WaitForSocket(socket_.Get(), Readiness::kWrite, deadline, StopToken()) ==
                            WaitOutcome::kTimedOut) {
        return false;
      }
    }
    return true;
  }

  std::size_t ReadSome(char* buffer, std::size_t n, const Deadline& deadline,
                       const StopToken& stop) override {
    while (Usable()) {
      const std::ptrdiff_t got = Received(buffer, n);
      if (got > 0) return static_cast<std::size_t>(got);
      if (got < 0) break;
      const WaitOutcome outcome = WaitForSocket(socket_.Get(), Readiness::kRead, deadline, stop);
      if (outcome != WaitOutcome::kReady && outcome != WaitOutcome::kHangUp) break;
    }
    return 0;
  }

  bool SetModemLine(ModemControlLine, bool) override { return false; }
  bool GetModemStatus(std::uint32_t& status) override {
    status = 0;
    return false;
  }

  SerialOpenError LastOpenError() const override { return openError_; }
  bool DeviceLost() const override { return lost_; }

 private:
  bool Usable() const { return socket_.Get() != kNoSocket && !lost_; }

  // A send's result as bytes moved, 0 when it would have to wait, -1 when the connection is
  // gone (which makes the device lost).
  std::ptrdiff_t Moved(std::ptrdiff_t result) {
    if (result >= 0) return result;
    if (LastCallWouldBlock()) return 0;
    lost_ = true;
    return -1;
  }

  // The same for a receive, where the adapter's end of stream is a lost device as well.
  std::ptrdiff_t Received(char* buffer, std::size_t n) {
    const std::ptrdiff_t got = ReceiveSome(socket_.Get(), buffer, n);
    if (got == 0) {
      lost_ = true;
      return -1;
    }
    return Moved(got);
  }

  ScopedSocket socket_;
  bool lost_ = false;
  SerialOpenError openError_;
};

}  // namespace

bool IsTcpLinkName(const std::string& name) {
  return name.rfind("tcp://", 0) == 0;
}

std::unique_ptr<SerialBackend> MakeTcpLinkBackend() {
  return std::make_unique<TcpLinkBackend>();
}

}  // namespace morvanix
