// A call that takes no deadline or stop, run so that the caller's wait still ends at its own
// deadline or stop, and the call, left behind, still runs to its end.
#include "adapter/bounded_call.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <semaphore>

#include "stop_later.h"

using namespace morvanix;
using namespace std::chrono_literals;

namespace {

// What the call shares with the test: it waits at the gate when told to, and tells its end.
struct Gate {
  std::binary_semaphore open{0};
  std::binary_semaphore ended{0};
};

TEST(BoundedCall, EndsOnTheCallTheDeadlineOrTheStop) {
  const struct {
    const char* label;
    bool callBlocks;
    std::chrono::milliseconds deadline;
    std::chrono::milliseconds stopAfter;  // 0: no stop
    bool stopBefore;
    BoundedOutcome outcome;
    std::chrono::milliseconds least;
    std::chrono::milliseconds most;
  } cases[] = {
      {"the call ends first", false, 5000ms, 0ms, false, BoundedOutcome::kDone, 0ms, 1000ms},
      {"the deadline", true, 150ms, 0ms, false, BoundedOutcome::kTimedOut, 150ms, 1000ms},
      {"the stop", true, 5000ms, 100ms, false, BoundedOutcome::kStopped, 100ms, 1000ms},
      {"a stop already there", true, 5000ms, 0ms, true, BoundedOutcome::kStopped, 0ms, 300ms},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const auto gate = std::make_shared<Gate>();
    const bool blocks = c.callBlocks;
    StopSource stop;
    if (c.stopBefore) stop.RequestStop();
    BoundedOutcome outcome;
    const auto start = std::chrono::steady_clock::now();
    {
      StopLater later(stop, c.stopAfter, c.stopAfter > 0ms);
      outcome = RunBounded(
          [gate, blocks] {
            if (blocks) gate->open.acquire();
            gate->ended.release();
          },
          Deadline::After(c.deadline), stop.Token());
    }
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(outcome, c.outcome);
    EXPECT_GE(took, c.least);
    EXPECT_LT(took, c.most);
    // The call left behind still ends, on its own thread, with what it owns.
    gate->open.release();
    EXPECT_TRUE(gate->ended.try_acquire_for(5s));
  }
}

}  // namespace
