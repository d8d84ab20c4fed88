#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/deadline.h"
#include "base/stop_token.h"
#include "base/wait.h"

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

enum class IoState { kDone, kPending, kFailed };
struct IoResult {
  IoState state = IoState::kFailed;
  // Bytes moved: for kDone, and for a read that ended kFailed after moving some (a cancel
  // can end a read that had already received bytes).
  std::uint32_t count = 0;
  std::uint32_t error = 0;  // kFailed (and kPending from a collect): the error code
};

// One device opened for overlapped I/O, with one read record (a buffer of kReadChunk bytes)
// and one write record (a buffer of its own, so that an unfinished write never reads the
// caller's memory). Each call is one system call; a fake plays them in tests.
//
// The read time-outs are {MAXDWORD, MAXDWORD, C}. Windows documents that a read then
// completes at once with what the driver holds, else on the first byte that comes, else
// empty after C. Wine instead waits for the whole count (its total time-out is C plus
// MAXDWORD a byte, so it never ends). A read that asks for what the driver holds, or for
// one byte when it holds nothing, behaves the same on both.
class OverlappedDevice {
 public:
  static constexpr std::size_t kReadChunk = 512;

  virtual ~OverlappedDevice() = default;
  virtual std::size_t QueuedBytes() = 0;          // ClearCommError's cbInQue; 0 on failure
  virtual IoResult StartRead(std::size_t n) = 0;  // ReadFile of n (<= kReadChunk) bytes
  // The read's event, the deadline or the stop, whichever comes first (WaitFor).
  virtual WaitOutcome WaitRead(const Deadline& deadline, const StopToken& stop) = 0;
  virtual IoResult CollectRead() = 0;             // GetOverlappedResult, no wait
  virtual void CancelRead() = 0;                  // CancelIoEx on the read record
  virtual const char* ReceivedBytes() const = 0;  // the read record's buffer
  virtual IoResult StartWrite(const char* data, std::size_t n) = 0;  // copied, WriteFile
  // The write's event, the deadline or the stop, whichever comes first (WaitFor).
  virtual WaitOutcome WaitWrite(const Deadline& deadline, const StopToken& stop) = 0;
  virtual IoResult CollectWrite() = 0;
  virtual void CancelWrite() = 0;
};

// The read that returns what is there and the bounded write over an OverlappedDevice.
//
// A read not done by the deadline or the stop is cancelled and the bytes it had moved are
// kept, so no read is left outstanding between calls (a read left by a thread that ended is
// cancelled by Windows and never completed by Wine). One that outlives its cancel stays
// outstanding and is collected by a later call. A read that ended empty (its C ran out) is
// followed by a fresh one. Bytes beyond what a caller asked for wait for the next call.
class OverlappedSerialIo {
 public:
  explicit OverlappedSerialIo(OverlappedDevice& device) : device_(device) {}

  // Up to n bytes: returns as soon as at least one is there, at the deadline or at the stop
  // (0 then). A deadline already passed takes what the driver holds without waiting.
  std::size_t ReadSome(char* buffer, std::size_t n, const Deadline& deadline,
                       const StopToken& stop);
  // The driver's own time-out ends a write at the line's time for it (WriteDeadline); this
  // waits until the deadline plus kGraceMs, or the stop, then cancels it and waits
  // kCancelWaitMs more at most. A read or write error that means the device went away (a USB
  // adapter pulled out, not our own cancel or a line error) makes it Lost.
  bool Write(const char* data, std::size_t n, const Deadline& deadline, const StopToken& stop);
  // Cancels what is outstanding and waits kCancelWaitMs at most for each; true when nothing
  // is left that may still write into the records.
  bool EndAll();

  bool Lost() const { return lost_; }
  bool ReadPending() const { return readPending_; }

  static constexpr std::uint32_t kGraceMs = 100;
  static constexpr std::uint32_t kCancelWaitMs = 200;

 private:
  void Note(const IoResult& result);
  // Keeps what an ended read moved; false when the read failed for good.
  bool Take(const IoResult& ended);
  std::size_t HandOut(char* buffer, std::size_t n);

  OverlappedDevice& device_;
  std::string held_;  // received, not yet handed out
  bool readPending_ = false;
  bool writePending_ = false;
  bool lost_ = false;
};

}  // namespace morvanix
