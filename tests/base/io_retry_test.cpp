#include "base/io_retry.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <vector>

namespace morvanix {
namespace {

using std::chrono::milliseconds;

// The loop against a scripted call and scripted waits: what ends it, and that a call that
// keeps asking to wait cannot hold it past its bounds.
TEST(RetryWithin, TriesWaitsAndRetriesWithinTheDeadlineAndTheStop) {
  const IoTry toRead = IoTry::WaitsFor(Readiness::kRead);
  const IoTry toWrite = IoTry::WaitsFor(Readiness::kWrite);
  constexpr WaitOutcome ready = WaitOutcome::kReady;
  constexpr WaitOutcome timedOut = WaitOutcome::kTimedOut;
  constexpr WaitOutcome hangUp = WaitOutcome::kHangUp;
  const struct {
    const char* label;
    bool stopBefore, deadlinePassed;
    std::vector<IoTry> tries;        // the last one repeats
    std::vector<WaitOutcome> waits;  // likewise
    std::ptrdiff_t result;
    std::size_t triesMade, waitsMade;
  } rows[] = {
      {"done at once", false, false, {IoTry::Done(5)}, {}, 5, 1, 0},
      {"failed at once", false, false, {IoTry::Done(-1)}, {}, -1, 1, 0},
      {"waits, then done", false, false, {toWrite, IoTry::Done(3)}, {ready}, 3, 2, 1},
      {"a hang-up: the next try tells", false, false, {toRead, IoTry::Done(0)}, {hangUp}, 0, 2, 1},
      {"the deadline passes in the wait", false, false, {toRead}, {timedOut}, -1, 1, 1},
      {"the stop comes in the wait", false, false, {toRead}, {WaitOutcome::kStopped}, -1, 1, 1},
      {"the wait fails", false, false, {toRead}, {WaitOutcome::kFailed}, -1, 1, 1},
      // The first try is made whatever the bounds; no wait begins after them (the scripted
      // waits would let a loop that ignored them go round once more, and no further).
      {"stopped before, done at once", true, false, {IoTry::Done(4)}, {}, 4, 1, 0},
      {"stopped before, would wait", true, false, {toWrite}, {ready, timedOut}, -1, 1, 0},
      {"deadline passed, would wait", false, true, {toWrite}, {ready, timedOut}, -1, 1, 0},
  };
  for (const auto& row : rows) {
    StopSource stop;
    if (row.stopBefore) stop.RequestStop();
    const Deadline deadline =
        row.deadlinePassed ? Deadline::At(SteadyClock::now()) : Deadline::Never();
    std::size_t tries = 0;
    std::size_t waits = 0;
    std::vector<Readiness> asked;
    const std::ptrdiff_t result = RetryWithin(
        deadline, stop.Token(), [&] { return row.tries[std::min(tries++, row.tries.size() - 1)]; },
        [&](Readiness what, const Deadline&, const StopToken&) {
          asked.push_back(what);
          return row.waits[std::min(waits++, row.waits.size() - 1)];
        });
    EXPECT_EQ(result, row.result) << row.label;
    EXPECT_EQ(tries, row.triesMade) << row.label;
    EXPECT_EQ(waits, row.waitsMade) << row.label;
    // Each wait is for what the try before it asked.
    for (std::size_t i = 0; i < asked.size(); ++i) {
      EXPECT_EQ(asked[i], row.tries[std::min(i, row.tries.size() - 1)].what) << row.label;
    }
  }
}

// A handle said ready that still refuses (a socket that takes no large send) ends at the
// deadline instead of spinning on.
TEST(RetryWithin, ReadyButRefusingEndsAtTheDeadline) {
  const auto started = SteadyClock::now();
  std::size_t tries = 0;
  const std::ptrdiff_t result = RetryWithin(
      Deadline::After(milliseconds(30)), {},
      [&] {
        ++tries;
        return IoTry::WaitsFor(Readiness::kWrite);
      },
      [](Readiness, const Deadline&, const StopToken&) { return WaitOutcome::kReady; });
  const auto took = SteadyClock::now() - started;
  EXPECT_EQ(result, -1);
  EXPECT_GT(tries, 1u);
  EXPECT_GE(took, milliseconds(30));
  EXPECT_LT(took, milliseconds(2000));
}

}  // namespace
}  // namespace morvanix
