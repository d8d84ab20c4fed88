#include "base/wait.h"
#include "stop_later.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace morvanix {
namespace {

using std::chrono::milliseconds;

// A handle the test makes ready: a pipe's read end (POSIX), a manual-reset event (Windows).
class TestHandle {
 public:
  TestHandle() {
#ifdef _WIN32
    handle_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
#else
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    handle_ = fds[0];
    writeEnd_ = fds[1];
#endif
  }
  ~TestHandle() {
#ifdef _WIN32
    CloseHandle(handle_);
#else
    close(handle_);
    if (writeEnd_ >= 0) close(writeEnd_);
#endif
  }
#ifndef _WIN32
  // The other end goes away: the read end reports a hang-up.
  void HangUp() {
    close(writeEnd_);
    writeEnd_ = -1;
  }
#endif
  void MakeReady() {
#ifdef _WIN32
    SetEvent(handle_);
#else
    EXPECT_EQ(write(writeEnd_, "x", 1), 1);
#endif
  }
  WaitHandle get() const {
    return handle_;
  }

 private:
  WaitHandle handle_ = kNoWaitHandle;
  int writeEnd_ = -1;
};

enum class Event {
  kNone,
  kReadyBefore,
  kReadyDuring,
  kStopBefore,
  kStopDuring,
  kHangUpBefore,
  kHangUpAfterByte
};

struct WaitRow {
  const char* name;
  Event event;
  milliseconds deadline;
  WaitOutcome expected;
};

// Each wait ends on the first of its event, its deadline and the stop, and no later than a
// generous bound past it (a hang shows as a failure, not as a slow pass).
TEST(Wait, EndsOnTheFirstOfItsEventItsDeadlineAndTheStop) {
  const WaitRow rows[] = {
      {"deadline passes", Event::kNone, milliseconds(60), WaitOutcome::kTimedOut},
      {"ready before the call", Event::kReadyBefore, milliseconds(5000), WaitOutcome::kReady},
      {"ready while waiting", Event::kReadyDuring, milliseconds(5000), WaitOutcome::kReady},
      {"stopped before the call", Event::kStopBefore, milliseconds(5000), WaitOutcome::kStopped},
      {"stopped while waiting", Event::kStopDuring, milliseconds(5000), WaitOutcome::kStopped},
      {"zero deadline, nothing ready", Event::kNone, milliseconds(0), WaitOutcome::kTimedOut},
#ifndef _WIN32
      {"hung up", Event::kHangUpBefore, milliseconds(5000), WaitOutcome::kHangUp},
      // Told as a hang-up even with a byte left to read, which a read still takes.
      {"hung up after a byte", Event::kHangUpAfterByte, milliseconds(5000), WaitOutcome::kHangUp},
#endif
  };
  for (const WaitRow& row : rows) {
    SCOPED_TRACE(row.name);
    TestHandle handle;
    StopSource stop;
    if (row.event == Event::kReadyBefore) handle.MakeReady();
    if (row.event == Event::kStopBefore) stop.RequestStop();
#ifndef _WIN32
    if (row.event == Event::kHangUpAfterByte) handle.MakeReady();
    if (row.event == Event::kHangUpBefore || row.event == Event::kHangUpAfterByte) handle.HangUp();
#endif
    std::thread later([&] {
      std::this_thread::sleep_for(milliseconds(50));
      if (row.event == Event::kReadyDuring) handle.MakeReady();
      if (row.event == Event::kStopDuring) stop.RequestStop();
    });
    const auto started = SteadyClock::now();
    const WaitOutcome outcome =
        WaitFor(handle.get(), Readiness::kRead, Deadline::After(row.deadline), stop.Token());
    const auto took = SteadyClock::now() - started;
    later.join();
    EXPECT_EQ(outcome, row.expected);
    if (row.expected == WaitOutcome::kTimedOut) {
      EXPECT_GE(took, row.deadline);
    }
    EXPECT_LT(took, milliseconds(2000));
  }
}

TEST(Wait, WaitUntilTellsTheDeadlineFromTheStop) {
  StopSource stop;
  EXPECT_TRUE(WaitUntil(Deadline::After(milliseconds(20)), stop.Token()));
  StopLater later(stop, milliseconds(30));
  const auto started = SteadyClock::now();
  EXPECT_FALSE(WaitUntil(Deadline::Never(), stop.Token()));
  EXPECT_LT(SteadyClock::now() - started, milliseconds(2000));
}

TEST(StopSource, TheStopIsKeptAndSeenByEveryToken) {
  StopSource stop;
  const StopToken before = stop.Token();
  EXPECT_FALSE(before.StopRequested());
  stop.RequestStop();
  stop.RequestStop();  // a second request changes nothing
  EXPECT_TRUE(before.StopRequested());
  EXPECT_TRUE(before.Std().stop_requested());
  EXPECT_TRUE(stop.Token().StopRequested());
  EXPECT_FALSE(StopToken().StopRequested());
  EXPECT_FALSE(StopToken().StopPossible());
}

TEST(Deadline, WaitMillisecondsRoundsUpAndCaps) {
  EXPECT_EQ(WaitMilliseconds(Deadline::Never(), 1000), -1);
  EXPECT_EQ(WaitMilliseconds(Deadline::At(SteadyClock::now() - milliseconds(5)), 1000), 0);
  EXPECT_EQ(WaitMilliseconds(Deadline::After(std::chrono::hours(1)), 1000), 1000);
  const long long ms = WaitMilliseconds(Deadline::After(std::chrono::microseconds(1500)), 1000);
  EXPECT_TRUE(ms == 1 || ms == 2) << ms;
  const Deadline soon = Deadline::After(milliseconds(10));
  EXPECT_EQ(Deadline::Never().Sooner(soon), soon);
  EXPECT_TRUE(Deadline::Never().Left() > std::chrono::hours(1));
}

// A wait too long for the clock never passes instead of wrapping into the past.
TEST(Deadline, AfterSaturates) {
  using std::chrono::hours;
  const struct {
    const char* label;
    Deadline deadline;
    bool never, passed;
  } rows[] = {
      {"clock's longest", Deadline::After(SteadyClock::duration::max()), true, false},
      {"longest in hours", Deadline::After(hours::max()), true, false},
      {"just short of the clock's end",
       Deadline::After(SteadyClock::time_point::max() - SteadyClock::now() - hours(1)), false,
       false},
      {"an hour", Deadline::After(hours(1)), false, false},
      {"below zero", Deadline::After(hours(-1)), false, true},
      {"shortest", Deadline::After(SteadyClock::duration::min()), false, true},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(row.deadline.IsNever(), row.never) << row.label;
    EXPECT_EQ(row.deadline.Passed(), row.passed) << row.label;
  }
}

}  // namespace
}  // namespace morvanix
