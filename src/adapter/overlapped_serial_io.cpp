#include "adapter/overlapped_serial_io.h"

namespace morvanix {

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

void OverlappedSerialIo::Note(const IoResult& result) {
  if (result.state == IoState::kFailed && IsDeviceLossError(result.error)) lost_ = true;
}

char OverlappedSerialIo::ReadChar(bool& gotByte) {
  gotByte = false;
  const std::uint64_t start = device_.NowMs();
  // At most two reads: the one found ended empty or cancelled, and a fresh one.
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (!readPending_) {
      const IoResult started = device_.StartRead();
      if (started.state == IoState::kDone) {
        gotByte = started.count == 1;
        if (gotByte) return device_.ReceivedByte();
        continue;
      }
      if (started.state == IoState::kFailed) {
        Note(started);
        return device_.ReceivedByte();
      }
      readPending_ = true;
    }
    const std::uint64_t spent = device_.NowMs() - start;
    const std::uint32_t left =
        spent >= kReadPollMs ? 0 : kReadPollMs - static_cast<std::uint32_t>(spent);
    if (!device_.WaitRead(left)) return device_.ReceivedByte();
    // An ended read is collected once, whatever its result; the next one is a new read.
    const IoResult ended = device_.CollectRead();
    if (ended.state == IoState::kPending) return device_.ReceivedByte();
    readPending_ = false;
    if (ended.state == IoState::kFailed && ended.error != comm_error::kOperationAborted) {
      Note(ended);
      return device_.ReceivedByte();
    }
    if (ended.state == IoState::kDone && ended.count == 1) {
      gotByte = true;
      return device_.ReceivedByte();
    }
  }
  return device_.ReceivedByte();
}

bool OverlappedSerialIo::Write(const char* data, std::size_t n) {
  if (writePending_) {
    // A write that outlived its cancel still owns the write record.
    if (!device_.WaitWrite(0)) return false;
    (void)device_.CollectWrite();
    writePending_ = false;
  }
  const IoResult started = device_.StartWrite(data, n);
  if (started.state == IoState::kDone) return true;
  if (started.state == IoState::kFailed) {
    Note(started);
    return false;
  }
  const std::uint32_t bound = 15 * static_cast<std::uint32_t>(n) + 100 + kGraceMs;
  if (device_.WaitWrite(bound)) {
    const IoResult ended = device_.CollectWrite();
    Note(ended);
    return ended.state == IoState::kDone;
  }
  device_.CancelWrite();
  if (device_.WaitWrite(kCancelWaitMs)) {
    (void)device_.CollectWrite();
  } else {
    writePending_ = true;
  }
  return false;
}

bool OverlappedSerialIo::EndAll() {
  if (readPending_) {
    device_.CancelRead();
    if (device_.WaitRead(kCancelWaitMs)) {
      (void)device_.CollectRead();
      readPending_ = false;
    }
  }
  if (writePending_) {
    device_.CancelWrite();
    if (device_.WaitWrite(kCancelWaitMs)) {
      (void)device_.CollectWrite();
      writePending_ = false;
    }
  }
  return !readPending_ && !writePending_;
}

}  // namespace morvanix
