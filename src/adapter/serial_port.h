#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "adapter/serial_backend.h"

namespace morvanix {

// One serial device with its line settings and a read that returns what is there. Settings take
// effect at the next Open. Not thread-safe: one thread at a time may use an instance.
//
// States: Closed (no device), Held (Open returned 2..9: the device is kept but not usable;
// IsOpen() is true and I/O behaves as on a closed port), Ready (Open returned 0).
class SerialPort {
 public:
  using BackendMaker = std::function<std::unique_ptr<SerialBackend>()>;

  // "\\.\COM1", 9600 baud, 8 data bits, no parity, 1 stop bit; closed. Opens the platform's
  // serial device, or a TCP adapter for a name "tcp://HOST:PORT".
  SerialPort();
  SerialPort(const std::string& portName, std::int32_t baudRate, std::int32_t dataBits, char parity,
             float stopBits);
  // The defaults, with a backend other than the platform's (tests, other serial layers);
  // an empty maker chooses by the name, as the default constructor does.
  explicit SerialPort(BackendMaker makeBackend);
  ~SerialPort();

  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  void SetPortName(const std::string& name);
  // Snapped down to 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 57600, 115200,
  // 128000 or 256000; below 300 gives 110.
  void SetBaudRate(std::int32_t rate);
  // 5..8; anything else gives 8.
  void SetDataBits(std::int32_t bits);
  // 'N', 'E', 'O', 'M' or 'S'; anything else gives 'N'.
  void SetParity(char parity);
  // 2.0 or more gives 2.0, 1.5 or more gives 1.5, anything else (NaN too) gives 1.0.
  void SetStopBits(float bits);

  std::string GetPortName() const { return portName_; }
  std::int32_t GetBaudRate() const { return baudRate_; }
  std::int32_t GetDataBits() const { return dataBits_; }
  char GetParity() const { return parity_; }
  float GetStopBits() const { return stopBits_; }

  // 0 ready (or a device was already held), 1 the device did not open, 2..9 the step of the
  // configuration that failed, with the device held. The stop and the deadline end a link
  // that has to connect first (BLE) sooner than its own bound; a serial device or a TCP
  // adapter opens as it always does.
  int Open(const StopToken& stop = StopToken(), const Deadline& by = Deadline::Never());
  void Close();
  bool IsOpen() const { return backend_ != nullptr; }
  // Gives the device this port holds, with its name and settings, to `to` (closed first),
  // as it is: nothing is closed or opened again. This port is closed after.
  void HandOver(SerialPort& to);

  // At most the first 1024 bytes of the text go out, within the line's time for them
  // (WriteDeadline); nothing once the stop has come, and the stop ends a write under way.
  bool Write(const char* text, const StopToken& stop);
  // The NUL character makes a zero-length write.
  bool WriteChar(char c, const StopToken& stop);
  // Up to n bytes: returns as soon as at least one byte is there, at the deadline, or at the
  // stop; 0 then, and at once on a port that is not ready.
  std::size_t ReadSome(char* buffer, std::size_t n, const Deadline& deadline,
                       const StopToken& stop);

  bool SetRts(bool on);
  bool SetDtr(bool on);
  // Modem-status lines; the result means something only when valid is true.
  bool GetCts(bool& valid);
  bool GetDsr(bool& valid);
  bool GetRing(bool& valid);
  bool GetRlsd(bool& valid);

  // Why the last Open that did not return 0 failed, kept after the device is dropped; {}
  // after a successful Open.
  SerialOpenError LastOpenError() const { return lastOpenError_; }
  // True once the held device reported that it went away; false again after Close.
  bool DeviceLost() const;

  static constexpr std::size_t kMaxWrite = 1024;

 private:
  bool ModemStatusBit(std::uint32_t bit, bool& valid);

  BackendMaker makeBackend_;
  std::string portName_;
  std::int32_t baudRate_;
  std::int32_t dataBits_;
  char parity_;
  float stopBits_;
  // Non-null while a device is held (Held or Ready).
  std::unique_ptr<SerialBackend> backend_;
  bool ready_ = false;
  SerialOpenError lastOpenError_;
};

}  // namespace morvanix
