// The Windows serial logic (polled read, bounded write, cancel at close) against a fake that
// plays the overlapped calls as Windows does, on a clock of its own: a read waits up to its
// 115 ms for a byte, ends empty after that, ends "aborted" when cancelled, and a byte that
// comes while no read is outstanding waits in the driver's queue.
#include "adapter/overlapped_serial_io.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <string>
#include <utility>

using namespace morvanix;

namespace {

constexpr std::uint64_t kReadTimeoutMs = 115;

class FakeComm final : public OverlappedDevice {
 public:
  // Input: a byte and when it reaches the driver.
  void Arrive(std::uint64_t at, char byte) { arrivals.push_back({at, byte}); }
  // Time passes between calls (the caller does something else).
  void Pass(std::uint64_t ms) {
    const std::uint64_t until = now + ms;
    Settle(until);
    now = until;
  }
  // The thread that started the read ended: Windows cancels its I/O.
  void ThreadExits() {
    if (read.state == Op::kOutstanding) read = {Op::kEnded, {IoState::kFailed, 0, kAborted}};
  }

  IoResult StartRead() override {
    ++readsStarted;
    if (failStartWith != 0) return {IoState::kFailed, 0, failStartWith};
    if (!arrivals.empty() && arrivals.front().first <= now) {
      rx = Pop();
      return {IoState::kDone, 1, 0};
    }
    read = {Op::kOutstanding, {}};
    readStarted = now;
    return {IoState::kPending, 0, comm_error::kIoPending};
  }
  bool WaitRead(std::uint32_t ms) override {
    if (read.state == Op::kOutstanding) Settle(now + ms);
    if (read.state != Op::kOutstanding) return true;
    now += ms;
    return false;
  }
  IoResult CollectRead() override {
    if (read.state == Op::kOutstanding) return {IoState::kPending, 0, comm_error::kIoIncomplete};
    read.state = Op::kIdle;
    return read.result;
  }
  void CancelRead() override {
    ++readCancels;
    if (cancelWorks) ThreadExits();
  }
  char ReceivedByte() const override { return rx; }

  IoResult StartWrite(const char*, std::size_t n) override {
    if (failStartWith != 0) return {IoState::kFailed, 0, failStartWith};
    if (!writeStalls) return {IoState::kDone, static_cast<std::uint32_t>(n), 0};
    write = {Op::kOutstanding, {}};
    return {IoState::kPending, 0, comm_error::kIoPending};
  }
  bool WaitWrite(std::uint32_t ms) override {
    if (write.state != Op::kOutstanding) return true;
    now += ms;
    return false;
  }
  IoResult CollectWrite() override {
    if (write.state == Op::kOutstanding) return {IoState::kPending, 0, comm_error::kIoIncomplete};
    write.state = Op::kIdle;
    return write.result;
  }
  void CancelWrite() override {
    if (cancelWorks && write.state == Op::kOutstanding) {
      write = {Op::kEnded, {IoState::kFailed, 0, kAborted}};
    }
  }
  std::uint64_t NowMs() override { return now; }

  std::uint64_t now = 1000;
  bool cancelWorks = true;  // false: a stuck driver that ends nothing
  bool writeStalls = false;
  std::uint32_t failStartWith = 0;
  std::uint32_t endReadWith = 0;  // the outstanding read ends with this error at once
  int readsStarted = 0;
  int readCancels = 0;

 private:
  static constexpr std::uint32_t kAborted = comm_error::kOperationAborted;
  enum class Op { kIdle, kOutstanding, kEnded };
  struct Record {
    Op state = Op::kIdle;
    IoResult result;
  };

  char Pop() {
    const char byte = arrivals.front().second;
    arrivals.pop_front();
    return byte;
  }
  // Ends the outstanding read if it ends by the time given: with a byte, empty, or failed.
  void Settle(std::uint64_t until) {
    // A driver that ignores cancels here is stuck: its read never ends.
    if (read.state != Op::kOutstanding || !cancelWorks) return;
    if (endReadWith != 0) {
      read = {Op::kEnded, {IoState::kFailed, 0, endReadWith}};
      return;
    }
    const std::uint64_t timeout = readStarted + kReadTimeoutMs;
    if (!arrivals.empty() && arrivals.front().first <= std::min(until, timeout)) {
      now = std::max(now, arrivals.front().first);
      rx = Pop();
      read = {Op::kEnded, {IoState::kDone, 1, 0}};
    } else if (timeout <= until) {
      now = std::max(now, timeout);
      read = {Op::kEnded, {IoState::kDone, 0, 0}};
    }
  }

  std::deque<std::pair<std::uint64_t, char>> arrivals;
  Record read;
  Record write;
  std::uint64_t readStarted = 0;
  char rx = '\0';
};

TEST(OverlappedSerialIo, ReadFindsWhatTheDriverHoldsInOnePoll) {
  enum class Before { kNothing, kEndedEmpty, kCancelledByThreadExit, kDeviceRemoved, kBadCommand };
  const struct {
    const char* label;
    Before before;
    bool byteWaits;  // a byte reached the driver while no read was outstanding for it
    bool got;
    bool lost;
  } cases[] = {
      {"idle line", Before::kNothing, false, false, false},
      {"byte queued", Before::kNothing, true, true, false},
      // The read left outstanding by the last poll ran out its 115 ms, then a byte came.
      {"earlier read ended empty", Before::kEndedEmpty, true, true, false},
      {"earlier read cancelled", Before::kCancelledByThreadExit, true, true, false},
      {"earlier read cancelled, idle", Before::kCancelledByThreadExit, false, false, false},
      {"device removed", Before::kDeviceRemoved, false, false, true},
      {"read refused", Before::kBadCommand, false, false, true},
  };
  for (const auto& c : cases) {
    FakeComm comm;
    OverlappedSerialIo io(comm);
    bool gotByte = true;
    if (c.before != Before::kNothing && c.before != Before::kBadCommand) {
      io.ReadChar(gotByte);  // leaves a read outstanding
      ASSERT_FALSE(gotByte) << c.label;
      ASSERT_TRUE(io.ReadPending()) << c.label;
    }
    switch (c.before) {
      case Before::kEndedEmpty:
        comm.Pass(kReadTimeoutMs);
        break;
      case Before::kCancelledByThreadExit:
        comm.ThreadExits();
        break;
      case Before::kDeviceRemoved:
        comm.endReadWith = comm_error::kDeviceRemoved;
        break;
      case Before::kBadCommand:
        comm.failStartWith = comm_error::kBadCommand;
        break;
      case Before::kNothing:
        break;
    }
    if (c.byteWaits) comm.Arrive(comm.now, 'S');
    comm.Pass(1);
    const std::uint64_t start = comm.now;
    const char byte = io.ReadChar(gotByte);
    EXPECT_EQ(gotByte, c.got) << c.label;
    EXPECT_EQ(c.got ? byte : 'S', 'S') << c.label;
    EXPECT_LE(comm.now - start, OverlappedSerialIo::kReadPollMs) << c.label;
    EXPECT_EQ(io.Lost(), c.lost) << c.label;
  }
}

TEST(OverlappedSerialIo, ByteDuringAnOutstandingReadIsCollectedByALaterPoll) {
  FakeComm comm;
  OverlappedSerialIo io(comm);
  bool gotByte = true;
  io.ReadChar(gotByte);
  EXPECT_FALSE(gotByte);
  comm.Arrive(comm.now + 30, '>');
  std::string got;
  for (int poll = 0; poll < 10 && got.empty(); ++poll) {
    const char c = io.ReadChar(gotByte);
    if (gotByte) got.push_back(c);
  }
  EXPECT_EQ(got, ">");
  EXPECT_EQ(comm.readsStarted, 1);  // the same read, waited on again, not a new one
}

// Every wait in Write and in the close is bounded, also when the driver ignores the cancel;
// a write that outlives its cancel keeps the record, and the next write fails at once.
TEST(OverlappedSerialIo, WriteAndCloseWaitsAreBounded) {
  const struct {
    const char* label;
    bool writeStalls;
    bool cancelWorks;
    bool readOutstanding;
    bool written;
    bool ended;
  } cases[] = {
      {"write done", false, true, true, true, true},
      {"write stalls, cancel ends it", true, true, false, false, true},
      {"write stalls, cancel ignored", true, false, false, false, false},
      {"read outstanding, cancel ignored", false, false, true, true, false},
  };
  const std::string text = "0100\r";
  const std::uint64_t writeBound =
      15 * text.size() + 100 + OverlappedSerialIo::kGraceMs + OverlappedSerialIo::kCancelWaitMs;
  for (const auto& c : cases) {
    FakeComm comm;
    comm.writeStalls = c.writeStalls;
    comm.cancelWorks = c.cancelWorks;
    OverlappedSerialIo io(comm);
    bool gotByte = false;
    if (c.readOutstanding) io.ReadChar(gotByte);
    std::uint64_t start = comm.now;
    EXPECT_EQ(io.Write(text.data(), text.size()), c.written) << c.label;
    EXPECT_LE(comm.now - start, writeBound) << c.label;
    if (c.writeStalls && !c.cancelWorks) {
      start = comm.now;
      EXPECT_FALSE(io.Write(text.data(), text.size())) << c.label;
      EXPECT_EQ(comm.now, start) << c.label;
    }
    start = comm.now;
    EXPECT_EQ(io.EndAll(), c.ended) << c.label;
    EXPECT_LE(comm.now - start, 2 * OverlappedSerialIo::kCancelWaitMs) << c.label;
    // The cancel names the outstanding read; nothing is cancelled when none is outstanding.
    EXPECT_EQ(comm.readCancels, c.readOutstanding ? 1 : 0) << c.label;
    EXPECT_FALSE(io.Lost()) << c.label;
  }
}

TEST(OverlappedSerialIo, LossErrorsAreThoseOfARemovedDevice) {
  for (std::uint32_t error :
       {comm_error::kAccessDenied, comm_error::kBadCommand, comm_error::kDeviceRemoved,
        comm_error::kGenFailure, comm_error::kFileNotFound, comm_error::kDeviceNotConnected}) {
    EXPECT_TRUE(IsDeviceLossError(error)) << error;
    FakeComm comm;
    comm.failStartWith = error;
    OverlappedSerialIo io(comm);
    EXPECT_FALSE(io.Write("A", 1));
    EXPECT_TRUE(io.Lost()) << error;
  }
  for (std::uint32_t error : {comm_error::kOperationAborted, comm_error::kIoIncomplete,
                              comm_error::kSharingViolation, std::uint32_t{0}}) {
    EXPECT_FALSE(IsDeviceLossError(error)) << error;
  }
}

}  // namespace
