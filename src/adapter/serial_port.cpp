#include "adapter/serial_port.h"

#include <array>
#include <chrono>
#include <cstring>
#include <utility>

#include "adapter/adapter_name.h"
#include "adapter/ble_link.h"
#include "adapter/tcp_link_backend.h"

namespace morvanix {

namespace {

constexpr std::array<std::int32_t, 13> kBaudRates = {
    300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 57600, 115200, 128000, 256000};
constexpr std::int32_t kBelowLowestRate = 110;

}  // namespace

SerialPort::SerialPort() : SerialPort(BackendMaker{}) {}

SerialPort::SerialPort(BackendMaker maker)
    : makeBackend_(std::move(maker)),
      portName_("\\\\.\\COM1"),
      baudRate_(9600),
      dataBits_(8),
      parity_('N'),
      stopBits_(1.0f) {}

SerialPort::SerialPort(const std::string& name, std::int32_t rate, std::int32_t bits,
                       char parityLetter, float stop)
    : SerialPort() {
  SetPortName(name);
  SetBaudRate(rate);
  SetDataBits(bits);
  SetParity(parityLetter);
  SetStopBits(stop);
}

SerialPort::~SerialPort() {
  Close();
}

void SerialPort::SetPortName(const std::string& name) {
  portName_ = name;
}

void SerialPort::SetBaudRate(std::int32_t rate) {
  std::int32_t snapped = kBelowLowestRate;
  for (std::int32_t candidate : kBaudRates) {
    if (candidate <= rate) snapped = candidate;
  }
  baudRate_ = snapped;
}

void SerialPort::SetDataBits(std::int32_t bits) {
  dataBits_ = (bits >= 5 && bits <= 8) ? bits : 8;
}

void SerialPort::SetParity(char letter) {
  parity_ = std::strchr("NEOMS", letter) != nullptr && letter != '\0' ? letter : 'N';
}

void SerialPort::SetStopBits(float bits) {
  if (bits >= 2.0f) {
    stopBits_ = 2.0f;
  } else if (bits >= 1.5f) {
    stopBits_ = 1.5f;
  } else {
    stopBits_ = 1.0f;  // also NaN, which compares false above
  }
}

int SerialPort::Open(const StopToken& stop, const Deadline& by) {
  if (backend_) return 0;
  // Without a backend of its own the name decides: "tcp://HOST:PORT" is an adapter on the
  // network, "ble:<address>" one over Bluetooth LE, anything else a serial device of this
  // platform.
  std::unique_ptr<SerialBackend> candidate =
      makeBackend_               ? makeBackend_()
      : IsTcpLinkName(portName_) ? MakeTcpLinkBackend(stop, by)
      : IsBleLinkName(portName_) ? MakeBleLinkBackend(stop, by)
                                 : MakePlatformSerialBackend();
  if (!candidate) {
    lastOpenError_ = {false, "no serial backend on this platform"};
    return 1;
  }
  const int code = candidate->Open(portName_, {baudRate_, dataBits_, parity_, stopBits_});
  lastOpenError_ = code == 0 ? SerialOpenError{} : candidate->LastOpenError();
  if (code == 1) return 1;
  backend_ = std::move(candidate);
  ready_ = (code == 0);
  return code;
}

void SerialPort::HandOver(SerialPort& to) {
  if (&to == this) return;
  to.Close();
  to.portName_ = portName_;
  to.baudRate_ = baudRate_;
  to.dataBits_ = dataBits_;
  to.parity_ = parity_;
  to.stopBits_ = stopBits_;
  to.backend_ = std::move(backend_);
  to.ready_ = ready_;
  to.lastOpenError_ = lastOpenError_;
  ready_ = false;
}

void SerialPort::Close() {
  if (!backend_) return;
  backend_->Close();
  backend_.reset();
  ready_ = false;
}

bool SerialPort::Write(const char* text, const StopToken& stop) {
  if (!ready_ || text == nullptr || stop.StopRequested()) return false;
  std::size_t n = 0;
  while (n < kMaxWrite && text[n] != '\0') ++n;
  return backend_->Write(text, n, WriteDeadline(n), stop);
}

bool SerialPort::WriteChar(char c, const StopToken& stop) {
  const char text[2] = {c, '\0'};
  return Write(text, stop);
}

std::size_t SerialPort::ReadSome(char* buffer, std::size_t n, const Deadline& deadline,
                                 const StopToken& stop) {
  if (!ready_ || n == 0) return 0;
  return backend_->ReadSome(buffer, n, deadline, stop);
}

bool SerialPort::DeviceLost() const {
  return backend_ != nullptr && backend_->DeviceLost();
}

bool SerialPort::SetRts(bool on) {
  return ready_ && backend_->SetModemLine(ModemControlLine::kRts, on);
}

bool SerialPort::SetDtr(bool on) {
  return ready_ && backend_->SetModemLine(ModemControlLine::kDtr, on);
}

bool SerialPort::ModemStatusBit(std::uint32_t bit, bool& valid) {
  valid = false;
  if (!ready_) return false;
  std::uint32_t status = 0;
  if (!backend_->GetModemStatus(status)) return false;
  valid = true;
  return (status & bit) != 0;
}

bool SerialPort::GetCts(bool& valid) {
  return ModemStatusBit(kModemCtsOn, valid);
}
bool SerialPort::GetDsr(bool& valid) {
  return ModemStatusBit(kModemDsrOn, valid);
}
bool SerialPort::GetRing(bool& valid) {
  return ModemStatusBit(kModemRingOn, valid);
}
bool SerialPort::GetRlsd(bool& valid) {
  return ModemStatusBit(kModemRlsdOn, valid);
}

}  // namespace morvanix
