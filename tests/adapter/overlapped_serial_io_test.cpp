// The Windows serial logic (the read that returns what is there, bounded write, cancel at
// close) against a fake that plays the overlapped calls as Windows does with the read
// time-outs {MAXDWORD, MAXDWORD, C}: a read completes at once with what the driver holds,
// else on the first byte that comes, else empty after C; or as Wine does, only once it has
// its whole count. A cancelled read ends "aborted" with the bytes it had moved. Reads run on
// the real clock; writes on a clock of their own.
#include "adapter/overlapped_serial_io.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <utility>

#include "base/wait.h"
#include "stop_later.h"

using namespace morvanix;
using std::chrono::milliseconds;

namespace {

constexpr milliseconds kReadWait(100);  // the fake's C

class FakeComm final : public OverlappedDevice {
 public:
  // Bytes that reach the driver after the given time.
  void Arrive(milliseconds after, std::string bytes) {
    arrivals.push_back({SteadyClock::now() + after, std::move(bytes)});
  }

  std::size_t QueuedBytes() override { return Arrived(SteadyClock::now()); }
  IoResult StartRead(std::size_t n) override {
    ++readsStarted;
    wanted = n;
    if (failStartWith != 0) return {IoState::kFailed, 0, failStartWith};
    const std::size_t held = Arrived(SteadyClock::now());
    if (held >= (wholeCount ? n : 1)) return {IoState::kDone, TakeArrived(n), 0};
    read = {Op::kOutstanding, {}};
    readStarted = SteadyClock::now();
    return {IoState::kPending, 0, comm_error::kIoPending};
  }
  WaitOutcome WaitRead(const Deadline& deadline, const StopToken& stop) override {
    if (read.state != Op::kOutstanding) return WaitOutcome::kReady;
    if (!cancelWorks) {  // a stuck driver: its read never ends
      return WaitUntil(deadline, stop) ? WaitOutcome::kTimedOut : WaitOutcome::kStopped;
    }
    if (endReadWith != 0) {
      read = {Op::kEnded, {IoState::kFailed, 0, endReadWith}};
      return WaitOutcome::kReady;
    }
    // Windows: the first byte or C ends the read; Wine: its whole count, and C never does.
    SteadyClock::time_point ends =
        wholeCount ? SteadyClock::time_point::max() : readStarted + kReadWait;
    const std::size_t enough = wholeCount ? wanted : 1;
    std::size_t count = 0;
    for (const auto& [at, bytes] : arrivals) {
      count += bytes.size();
      if (count >= enough) {
        ends = std::min(ends, at);
        break;
      }
    }
    if (!WaitUntil(Deadline::At(ends).Sooner(deadline), stop)) return WaitOutcome::kStopped;
    if (SteadyClock::now() < ends) return WaitOutcome::kTimedOut;
    read = {Op::kEnded, {IoState::kDone, TakeArrived(wanted), 0}};
    return WaitOutcome::kReady;
  }
  IoResult CollectRead() override {
    if (read.state == Op::kOutstanding) return {IoState::kPending, 0, comm_error::kIoIncomplete};
    read.state = Op::kIdle;
    return read.result;
  }
  // The read ends "aborted" with what it had moved (cancelMoves).
  void CancelRead() override {
    ++readCancels;
    if (!cancelWorks || cancelIgnored || read.state != Op::kOutstanding) return;
    std::copy(cancelMoves.begin(), cancelMoves.end(), rx);
    read = {Op::kEnded,
            {IoState::kFailed, static_cast<std::uint32_t>(cancelMoves.size()), kAborted}};
  }
  const char* ReceivedBytes() const override { return rx; }

  IoResult StartWrite(const char*, std::size_t n) override {
    if (failStartWith != 0) return {IoState::kFailed, 0, failStartWith};
    if (!writeStalls) return {IoState::kDone, static_cast<std::uint32_t>(n), 0};
    write = {Op::kOutstanding, {}};
    return {IoState::kPending, 0, comm_error::kIoPending};
  }
  // A stalled write never ends by itself: its wait lasts to the deadline, on the write
  // side's clock, unless the stop comes.
  WaitOutcome WaitWrite(const Deadline& deadline, const StopToken& stop) override {
    if (write.state != Op::kOutstanding) return WaitOutcome::kReady;
    if (stop.StopRequested()) return WaitOutcome::kStopped;
    const long long ms = WaitMilliseconds(deadline, kForeverMs);
    now += static_cast<std::uint64_t>(ms < 0 ? kForeverMs : ms);
    return WaitOutcome::kTimedOut;
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

  bool wholeCount = false;     // Wine's reading of the time-outs
  std::uint64_t now = 1000;    // the write side's clock
  bool cancelWorks = true;     // false: a stuck driver that ends nothing
  bool cancelIgnored = false;  // the read goes on after a cancel, and ends on data
  std::string cancelMoves;     // bytes a cancelled read had moved
  bool writeStalls = false;
  std::uint32_t failStartWith = 0;
  std::uint32_t endReadWith = 0;  // the outstanding read ends with this error at once
  int readsStarted = 0;
  int readCancels = 0;

 private:
  static constexpr std::uint32_t kAborted = comm_error::kOperationAborted;
  static constexpr long long kForeverMs = 1LL << 40;
  enum class Op { kIdle, kOutstanding, kEnded };
  struct Record {
    Op state = Op::kIdle;
    IoResult result;
  };

  std::size_t Arrived(SteadyClock::time_point by) const {
    std::size_t count = 0;
    for (const auto& [at, bytes] : arrivals) {
      if (at <= by) count += bytes.size();
    }
    return count;
  }

  // Moves what has arrived into the read buffer, n bytes at most.
  std::uint32_t TakeArrived(std::size_t n) {
    const SteadyClock::time_point by = SteadyClock::now();
    std::uint32_t count = 0;
    while (!arrivals.empty() && arrivals.front().first <= by && count < n) {
      std::string& bytes = arrivals.front().second;
      const std::size_t take = std::min(bytes.size(), n - count);
      std::copy_n(bytes.begin(), take, rx + count);
      count += static_cast<std::uint32_t>(take);
      bytes.erase(0, take);
      if (!bytes.empty()) break;
      arrivals.pop_front();
    }
    return count;
  }

  std::deque<std::pair<SteadyClock::time_point, std::string>> arrivals;
  Record read;
  Record write;
  SteadyClock::time_point readStarted;
  std::size_t wanted = 0;
  char rx[kReadChunk] = {};
};

std::string ReadSome(OverlappedSerialIo& io, std::size_t n, const Deadline& deadline,
                     const StopToken& stop = {}) {
  char buffer[OverlappedDevice::kReadChunk];
  return std::string(buffer, io.ReadSome(buffer, n, deadline, stop));
}

TEST(OverlappedSerialIo, ReadReturnsWhatIsThereOnTheFirstByteTheDeadlineOrTheStop) {
  enum class Before {
    kNothing,
    kEarlierCall,
    kCancelIgnored,
    kDeviceRemoved,
    kStartRefused,
    kStop
  };
  const std::string answer = "41 00\r>";
  const struct {
    const char* label;
    Before before;
    int arriveAfterMs;  // -1: nothing comes; else `answer` arrives then, in one piece
    std::size_t n;
    int deadlineMs;
    std::string got;
    int reads;  // reads started in all
    bool lost;
    int atLeastMs, belowMs;
    bool wine = false;
    std::string cancelMoves = {};
  } cases[] = {
      {"held at once", Before::kNothing, 0, 64, 1000, answer, 1, false, 0, 50},
      // Nothing held: a one-byte read, done on the first byte; the rest is held after it.
      {"first byte later", Before::kNothing, 40, 64, 1000, "4", 1, false, 35, 500},
      {"deadline", Before::kNothing, -1, 64, 60, "", 1, false, 60, 500},
      {"a passed deadline does not wait", Before::kNothing, -1, 64, 0, "", 1, false, 0, 30},
      // The cancel at the deadline ends a read that had moved a byte: the byte is kept.
      {"cancel moved a byte", Before::kNothing, -1, 64, 60, "4", 1, false, 60, 500, false, "4"},
      // C ran out with nothing: a fresh read takes over.
      {"read ended empty", Before::kNothing, 150, 64, 1000, "4", 2, false, 140, 600},
      // What came after an earlier call's read was cancelled is in the driver: a fresh read
      // takes it even when the caller does not wait.
      {"after a cancelled read", Before::kEarlierCall, 0, 64, 0, answer, 2, false, 0, 50},
      // A driver that ignores the cancel: the read stays outstanding and a later call gets it.
      {"read outlived its cancel", Before::kCancelIgnored, 20, 64, 1000, "4", 1, false, 15, 500,
       true},
      {"fewer asked than held", Before::kNothing, 0, 2, 1000, "41", 1, false, 0, 50},
      {"stop", Before::kStop, -1, 64, 5000, "", 1, false, 40, 1000},
      {"device removed", Before::kDeviceRemoved, -1, 64, 1000, "", 1, true, 0, 50},
      {"read refused", Before::kStartRefused, -1, 64, 1000, "", 1, true, 0, 50},
      // Wine reads to the whole count, and C never ends a read: the same results.
      {"wine: held at once", Before::kNothing, 0, 64, 1000, answer, 1, false, 0, 50, true},
      {"wine: first byte later", Before::kNothing, 150, 64, 1000, "4", 1, false, 140, 600, true},
      {"wine: deadline", Before::kNothing, -1, 64, 60, "", 1, false, 60, 500, true},
  };
  for (const auto& c : cases) {
    FakeComm comm;
    comm.wholeCount = c.wine;
    comm.cancelMoves = c.cancelMoves;
    comm.cancelIgnored = c.before == Before::kCancelIgnored;
    OverlappedSerialIo io(comm);
    if (c.before == Before::kEarlierCall || c.before == Before::kCancelIgnored) {
      ASSERT_EQ(ReadSome(io, 64, Deadline::At(SteadyClock::now())), "") << c.label;
      EXPECT_EQ(io.ReadPending(), c.before == Before::kCancelIgnored) << c.label;
    }
    if (c.before == Before::kDeviceRemoved) comm.endReadWith = comm_error::kDeviceRemoved;
    if (c.before == Before::kStartRefused) comm.failStartWith = comm_error::kBadCommand;
    if (c.arriveAfterMs >= 0) comm.Arrive(milliseconds(c.arriveAfterMs), answer);
    StopSource stop;
    StopLater stopper(stop, milliseconds(40), c.before == Before::kStop);
    const auto start = SteadyClock::now();
    const std::string got =
        ReadSome(io, c.n, Deadline::After(milliseconds(c.deadlineMs)), stop.Token());
    const auto took = SteadyClock::now() - start;
    EXPECT_EQ(got, c.got) << c.label;
    EXPECT_EQ(comm.readsStarted, c.reads) << c.label;
    EXPECT_EQ(io.Lost(), c.lost) << c.label;
    EXPECT_GE(took, milliseconds(c.atLeastMs)) << c.label;
    EXPECT_LT(took, milliseconds(c.belowMs)) << c.label;
    // No read is left outstanding once a call returns, and the rest of what arrived is
    // there for the next call, at once.
    if (c.before != Before::kDeviceRemoved) {
      EXPECT_FALSE(io.ReadPending()) << c.label;
    }
    if (c.arriveAfterMs >= 0) {
      EXPECT_EQ(got + ReadSome(io, 64, Deadline::At(SteadyClock::now())), answer) << c.label;
    }
  }
}

// Every wait in Write and in the close is bounded, also when the driver ignores the cancel;
// a write waits to its deadline (plus a grace for the driver's own end) or the stop, and one
// that outlives its cancel keeps the record, so the next write fails at once. A write the
// driver refuses makes the device lost only when the device went away.
TEST(OverlappedSerialIo, WriteAndCloseWaitsAreBounded) {
  static constexpr std::uint64_t kDeadlineMs = 300;
  const struct {
    const char* label;
    bool writeStalls;
    bool cancelWorks;
    bool readOutstanding;
    bool stopped;
    std::uint32_t refusedWith;  // the driver refuses the write at once with this error
    bool written;
    bool ended;
    int readCancels;  // by the read's own end and by the close
    bool lost;
    std::uint64_t waitedAtLeastMs, waitedAtMostMs;  // by Write, on the write side's clock
  } cases[] = {
      {"write done", false, true, true, false, 0, true, true, 1, false, 0, 0},
      {"write stalls, cancel ends it", true, true, false, false, 0, false, true, 0, false,
       kDeadlineMs, kDeadlineMs + 1000},
      {"write stalls, cancel ignored", true, false, false, false, 0, false, false, 0, false,
       kDeadlineMs, kDeadlineMs + 1000},
      {"write stalls, the stop ends it", true, true, false, true, 0, false, true, 0, false, 0, 0},
      {"read outstanding, cancel ignored", false, false, true, false, 0, true, false, 2, false, 0,
       0},
      {"refused, device removed", false, true, false, false, comm_error::kDeviceRemoved, false,
       true, 0, true, 0, 0},
      {"refused by our own cancel", false, true, false, false, comm_error::kOperationAborted, false,
       true, 0, false, 0, 0},
  };
  const std::string text = "0100\r";
  for (const auto& c : cases) {
    FakeComm comm;
    comm.writeStalls = c.writeStalls;
    comm.cancelWorks = c.cancelWorks;
    OverlappedSerialIo io(comm);
    if (c.readOutstanding) ReadSome(io, 64, Deadline::At(SteadyClock::now()));
    comm.failStartWith = c.refusedWith;
    StopSource stop;
    if (c.stopped) stop.RequestStop();
    const auto deadline = [] { return Deadline::After(milliseconds(kDeadlineMs)); };
    std::uint64_t start = comm.now;
    EXPECT_EQ(io.Write(text.data(), text.size(), deadline(), stop.Token()), c.written) << c.label;
    EXPECT_GE(comm.now - start, c.waitedAtLeastMs) << c.label;
    EXPECT_LE(comm.now - start, c.waitedAtMostMs) << c.label;
    EXPECT_EQ(io.Lost(), c.lost) << c.label;
    if (c.writeStalls && !c.cancelWorks) {
      start = comm.now;
      EXPECT_FALSE(io.Write(text.data(), text.size(), deadline(), {})) << c.label;
      EXPECT_EQ(comm.now, start) << c.label;
    }
    start = comm.now;
    const auto closing = SteadyClock::now();
    EXPECT_EQ(io.EndAll(), c.ended) << c.label;
    EXPECT_LE(comm.now - start, OverlappedSerialIo::kCancelWaitMs) << c.label;
    EXPECT_LT(SteadyClock::now() - closing, milliseconds(1000)) << c.label;
    // The cancel names the outstanding read; nothing is cancelled when none is outstanding.
    EXPECT_EQ(comm.readCancels, c.readCancels) << c.label;
  }
}

}  // namespace
