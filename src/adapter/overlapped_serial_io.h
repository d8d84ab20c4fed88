#pragma once

#include <cstddef>
#include <cstdint>

namespace morvanix {

// Error codes of the Windows API that the overlapped I/O logic tells apart (same values).
namespace comm_error {
inline constexpr std::uint32_t kFileNotFound = 2;
inline constexpr std::uint32_t kAccessDenied = 5;
inline constexpr std::uint32_t kBadCommand = 22;
inline constexpr std::uint32_t kGenFailure = 31;
inline constexpr std::uint32_t kSharingViolation = 32;
inline constexpr std::uint32_t kOperationAborted = 995;
inline constexpr std::uint32_t kIoIncomplete = 996;
inline constexpr std::uint32_t kIoPending = 997;
inline constexpr std::uint32_t kDeviceNotConnected = 1167;
inline constexpr std::uint32_t kDeviceRemoved = 1617;
}  // namespace comm_error

// A read or write error that means the device went away (a USB adapter pulled out), as
// opposed to our own cancel (kOperationAborted) or a line error.
bool IsDeviceLossError(std::uint32_t error);

enum class IoState { kDone, kPending, kFailed };
struct IoResult {
  IoState state = IoState::kFailed;
  std::uint32_t count = 0;  // kDone: bytes moved
  std::uint32_t error = 0;  // kFailed (and kPending from a collect): the error code
};

// One device opened for overlapped I/O, with one read record (a one-byte buffer) and one
// write record (a buffer of its own, so that an unfinished write never reads the caller's
// memory). Each call is one system call; a fake plays them in tests.
class OverlappedDevice {
 public:
  virtual ~OverlappedDevice() = default;
  virtual IoResult StartRead() = 0;             // ReadFile of one byte
  virtual bool WaitRead(std::uint32_t ms) = 0;  // the read's event, within ms
  virtual IoResult CollectRead() = 0;           // GetOverlappedResult, no wait
  virtual void CancelRead() = 0;                // CancelIoEx on the read record
  virtual char ReceivedByte() const = 0;        // the read record's buffer
  virtual IoResult StartWrite(const char* data, std::size_t n) = 0;  // copied, WriteFile
  virtual bool WaitWrite(std::uint32_t ms) = 0;
  virtual IoResult CollectWrite() = 0;
  virtual void CancelWrite() = 0;
  virtual std::uint64_t NowMs() = 0;  // a monotonic clock
};

// The polled one-byte read and the bounded write over an OverlappedDevice.
//
// A read that is not done within a poll stays outstanding and is collected by a later call.
// A collected read that ended without a byte (its 115 ms ran out) or was cancelled (Windows
// cancels a thread's I/O when the thread ends) is followed by a fresh read in the same poll,
// so "no byte" always means that the driver had none: stale input is never left behind for
// the next command.
class OverlappedSerialIo {
 public:
  explicit OverlappedSerialIo(OverlappedDevice& device) : device_(device) {}

  // Waits at most kReadPollMs in all.
  char ReadChar(bool& gotByte);
  // The driver's own time-out ends a write after 15 ms a byte plus 100 ms; this waits that
  // plus kGraceMs, then cancels it and waits kCancelWaitMs more at most.
  bool Write(const char* data, std::size_t n);
  // Cancels what is outstanding and waits kCancelWaitMs at most for each; true when nothing
  // is left that may still write into the records.
  bool EndAll();

  bool Lost() const { return lost_; }
  bool ReadPending() const { return readPending_; }

  static constexpr std::uint32_t kReadPollMs = 10;
  static constexpr std::uint32_t kGraceMs = 100;
  static constexpr std::uint32_t kCancelWaitMs = 200;

 private:
  void Note(const IoResult& result);

  OverlappedDevice& device_;
  bool readPending_ = false;
  bool writePending_ = false;
  bool lost_ = false;
};

}  // namespace morvanix
