#include "adapter/overlapped_serial_io.h"

#include <algorithm>
#include <chrono>

namespace morvanix {

namespace {

// A read or write error that means the device went away (a USB adapter pulled out), as
// opposed to our own cancel (kOperationAborted) or a line error.
bool IsDeviceLossError(std::uint32_t error) {
  switch (error) {
    case comm_error::kAccessDenied:
    case comm_error::kBadCommand:
    case comm_error::kDeviceRemoved:
    case comm_error::kGenFailure:
    case comm_error::kFileNotFound:
    case comm_error::kDeviceNotConnected:
      return true;
    default:
      return false;
  }
}

Deadline Extended(const Deadline& deadline, std::uint32_t ms) {
  return deadline.IsNever() ? deadline
                            : Deadline::At(deadline.When() + std::chrono::milliseconds(ms));
}

Deadline FromNow(std::uint32_t ms) {
  return Deadline::After(std::chrono::milliseconds(ms));
}

}  // namespace

void OverlappedSerialIo::Note(const IoResult& result) {
  if (result.state == IoState::kFailed && IsDeviceLossError(result.error)) lost_ = true;
}

std::size_t OverlappedSerialIo::HandOut(char* buffer, std::size_t n) {
  const std::size_t count = std::min(n, held_.size());
  held_.copy(buffer, count);
  held_.erase(0, count);
  return count;
}

bool OverlappedSerialIo::Take(const IoResult& ended) {
  held_.append(device_.ReceivedBytes(),
               std::min<std::size_t>(ended.count, OverlappedDevice::kReadChunk));
  if (ended.state != IoState::kFailed || ended.error == comm_error::kOperationAborted) return true;
  Note(ended);
  return false;
}

std::size_t OverlappedSerialIo::ReadSome(char* buffer, std::size_t n, const Deadline& deadline,
                                         const StopToken& stop) {
  if (n == 0) return 0;
  // A read that ended with nothing (C ran out, or a cancel) is followed by a fresh one even
  // when the time is up, since what came meanwhile is held by the driver, not by that read;
  // a second such end gives up.
  int emptyEnds = 0;
  const auto givesUp = [&] {
    return held_.empty() && ++emptyEnds > 1 && (deadline.Passed() || stop.StopRequested());
  };
  for (;;) {
    if (!held_.empty()) return HandOut(buffer, n);
    if (!readPending_) {
      // What the driver holds, or one byte to wait for: a read never waits for more.
      const std::size_t queued = device_.QueuedBytes();
      const IoResult started =
          device_.StartRead(std::clamp<std::size_t>(queued, 1, OverlappedDevice::kReadChunk));
      if (started.state == IoState::kDone) {
        held_.append(device_.ReceivedBytes(),
                     std::min<std::size_t>(started.count, OverlappedDevice::kReadChunk));
        if (givesUp()) return 0;
        continue;
      }
      if (started.state == IoState::kFailed) {
        Note(started);
        return 0;
      }
      readPending_ = true;
    }
    if (device_.WaitRead(deadline, stop) != WaitOutcome::kReady) {
      // The deadline or the stop: the read is cancelled rather than left outstanding, since
      // Wine never completes a read whose thread has ended (and Windows cancels it then).
      // What it had moved is kept; a driver that ignores the cancel leaves it outstanding,
      // and a later call collects it.
      device_.CancelRead();
      if (device_.WaitRead(FromNow(kCancelWaitMs), {}) != WaitOutcome::kReady) return 0;
      const IoResult ended = device_.CollectRead();
      if (ended.state == IoState::kPending) return 0;
      readPending_ = false;
      Take(ended);
      return HandOut(buffer, n);
    }
    // An ended read is collected once, whatever its result; the next one is a new read.
    const IoResult ended = device_.CollectRead();
    // Signalled yet not done: waiting again at once would spin, so this call ends.
    if (ended.state == IoState::kPending) return 0;
    readPending_ = false;
    if (!Take(ended)) return HandOut(buffer, n);
    if (givesUp()) return 0;
  }
}

bool OverlappedSerialIo::Write(const char* data, std::size_t n, const Deadline& deadline,
                               const StopToken& stop) {
  if (writePending_) {
    // A write that outlived its cancel still owns the write record.
    if (device_.WaitWrite(FromNow(0), {}) != WaitOutcome::kReady) return false;
    (void)device_.CollectWrite();
    writePending_ = false;
  }
  const IoResult started = device_.StartWrite(data, n);
  if (started.state == IoState::kDone) return true;
  if (started.state == IoState::kFailed) {
    Note(started);
    return false;
  }
  // The driver ends the write itself at the same bound: the grace lets that end be collected
  // rather than cut short by a cancel.
  if (device_.WaitWrite(Extended(deadline, kGraceMs), stop) == WaitOutcome::kReady) {
    const IoResult ended = device_.CollectWrite();
    Note(ended);
    return ended.state == IoState::kDone;
  }
  device_.CancelWrite();
  if (device_.WaitWrite(FromNow(kCancelWaitMs), {}) == WaitOutcome::kReady) {
    (void)device_.CollectWrite();
  } else {
    writePending_ = true;
  }
  return false;
}

bool OverlappedSerialIo::EndAll() {
  if (readPending_) {
    device_.CancelRead();
    if (device_.WaitRead(FromNow(kCancelWaitMs), {}) == WaitOutcome::kReady) {
      (void)device_.CollectRead();
      readPending_ = false;
    }
  }
  if (writePending_) {
    device_.CancelWrite();
    if (device_.WaitWrite(FromNow(kCancelWaitMs), {}) == WaitOutcome::kReady) {
      (void)device_.CollectWrite();
      writePending_ = false;
    }
  }
  return !readPending_ && !writePending_;
}

}  // namespace morvanix
