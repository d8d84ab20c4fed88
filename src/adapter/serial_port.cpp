#include "adapter/serial_port.h"

#include <array>
#include <cstring>
#include <utility>

namespace {

constexpr std::array<std::int32_t, 13> kBaudRates = {
    300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 57600, 115200, 128000, 256000};
constexpr std::int32_t kBelowLowestRate = 110;

}  // namespace

SerialPort::SerialPort() : SerialPort(MakePlatformSerialBackend) {}

SerialPort::SerialPort(BackendMaker maker)
    : makeBackend(std::move(maker)),
      portName("\\\\.\\COM1"),
      baudRate(9600),
      dataBits(8),
      parity('N'),
      stopBits(1.0f) {}

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
  portName = name;
}

void SerialPort::SetBaudRate(std::int32_t rate) {
  std::int32_t snapped = kBelowLowestRate;
  for (std::int32_t candidate : kBaudRates) {
    if (candidate <= rate) snapped = candidate;
  }
  baudRate = snapped;
}

void SerialPort::SetDataBits(std::int32_t bits) {
  dataBits = (bits >= 5 && bits <= 8) ? bits : 8;
}

void SerialPort::SetParity(char letter) {
  parity = std::strchr("NEOMS", letter) != nullptr && letter != '\0' ? letter : 'N';
}

void SerialPort::SetStopBits(float bits) {
  if (bits >= 2.0f) {
    stopBits = 2.0f;
  } else if (bits >= 1.5f) {
    stopBits = 1.5f;
  } else {
    stopBits = 1.0f;  // also NaN, which compares false above
  }
}

int SerialPort::Open() {
  if (backend) return 0;
  std::unique_ptr<SerialBackend> candidate = makeBackend ? makeBackend() : nullptr;
  if (!candidate) return 1;
  const int code = candidate->Open(portName, {baudRate, dataBits, parity, stopBits});
  if (code == 1) return 1;
  backend = std::move(candidate);
  ready = (code == 0);
  return code;
}

void SerialPort::Close() {
  if (!backend) return;
  backend->Close();
  backend.reset();
  ready = false;
}

bool SerialPort::Write(const char* text) {
  if (!ready || text == nullptr) return false;
  std::size_t n = 0;
  while (n < kMaxWrite && text[n] != '\0') ++n;
  return backend->Write(text, n);
}

bool SerialPort::WriteChar(char c) {
  const char text[2] = {c, '\0'};
  return Write(text);
}

char SerialPort::ReadChar(bool& gotByte) {
  gotByte = false;
  if (!ready) return '\0';
  return backend->ReadChar(gotByte);
}

bool SerialPort::SetRts(bool on) {
  return ready && backend->SetModemLine(ModemControlLine::kRts, on);
}

bool SerialPort::SetDtr(bool on) {
  return ready && backend->SetModemLine(ModemControlLine::kDtr, on);
}

bool SerialPort::ModemStatusBit(std::uint32_t bit, bool& valid) {
  valid = false;
  if (!ready) return false;
  std::uint32_t status = 0;
  if (!backend->GetModemStatus(status)) return false;
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
