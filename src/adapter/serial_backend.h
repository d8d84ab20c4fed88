#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "base/deadline.h"
#include "base/stop_token.h"

namespace morvanix {

// Line settings handed to a backend when the port is opened.
struct SerialLineSettings {
  std::int32_t baudRate = 9600;
  std::int32_t dataBits = 8;
  char parity = 'N';
  float stopBits = 1.0f;
};

// Modem-status bits, as the status word of the Windows serial API lays them out.
inline constexpr std::uint32_t kModemCtsOn = 0x10;
inline constexpr std::uint32_t kModemDsrOn = 0x20;
inline constexpr std::uint32_t kModemRingOn = 0x40;
inline constexpr std::uint32_t kModemRlsdOn = 0x80;

enum class ModemControlLine { kRts, kDtr };

// How long a write of n bytes may take: the line's own time, as a serial driver bounds it.
inline constexpr std::chrono::milliseconds kWriteTimePerByte{15};
inline constexpr std::chrono::milliseconds kWriteTimeBase{100};
inline Deadline WriteDeadline(std::size_t n) {
  return Deadline::After(kWriteTimeBase + kWriteTimePerByte * static_cast<long long>(n));
}

// Why an Open failed. busy: the device exists but another program holds it. reason: the
// system's error text in plain words ("No such file or directory").
struct SerialOpenError {
  bool busy = false;
  std::string reason;
};

// The platform half of SerialPort: one device, opened once. SerialPort keeps the settings and
// the Closed/Held/Ready states and calls the I/O operations only after Open returned 0.
class SerialBackend {
 public:
  virtual ~SerialBackend() = default;

  // Opens and configures the device; returns the result code 0..9 of SerialPort::Open.
  // After code 1 the backend holds nothing; after 2..9 it holds what it acquired so far,
  // which Close releases.
  virtual int Open(const std::string& portName, const SerialLineSettings& line) = 0;
  // Puts back what Open changed and releases what it acquired. Idempotent.
  virtual void Close() = 0;

  // Writes n bytes (n may be 0); true when all went out before the deadline and the stop.
  virtual bool Write(const char* data, std::size_t n, const Deadline& deadline,
                     const StopToken& stop) = 0;
  // Up to n bytes: returns as soon as at least one byte is there (with every byte the driver
  // holds, up to n), at the deadline, or at the stop; 0 then (DeviceLost tells a device that
  // went away). A deadline already passed takes what is there without waiting.
  virtual std::size_t ReadSome(char* buffer, std::size_t n, const Deadline& deadline,
                               const StopToken& stop) = 0;

  // A link that is no serial line (TCP, BLE) has no modem lines: these fail, as here.
  virtual bool SetModemLine(ModemControlLine /*line*/, bool /*on*/) { return false; }
  // The kModem* bits of the lines that are on; false when the device has no modem lines.
  virtual bool GetModemStatus(std::uint32_t& status) {
    status = 0;
    return false;
  }

  // Why the last Open failed; {} after a successful one.
  virtual SerialOpenError LastOpenError() const { return {}; }
  // A read or write saw the device go away (unplugged, its driver gone); stays true until
  // Close. A device that is merely silent is not lost.
  virtual bool DeviceLost() const { return false; }
};

// The backend of the platform the agent was built for.
std::unique_ptr<SerialBackend> MakePlatformSerialBackend();

}  // namespace morvanix
