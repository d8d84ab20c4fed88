#include "adapter/bounded_call.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace morvanix {

namespace {

// Shared with the call's thread, which may outlive the wait.
struct CallState {
  std::mutex lock;
  std::condition_variable_any ended;
  bool done = false;
};

}  // namespace

BoundedOutcome RunBounded(std::function<void()> call, const Deadline& deadline,
                          const StopToken& stop) {
  const auto state = std::make_shared<CallState>();
  try {
    std::thread([state, call = std::move(call)] {
      call();
      {
        std::lock_guard<std::mutex> hold(state->lock);
        state->done = true;
      }
      state->ended.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    return BoundedOutcome::kNotStarted;
  }
  std::unique_lock<std::mutex> hold(state->lock);
  const auto done = [&] { return state->done; };
  if (deadline.IsNever()) {
    state->ended.wait(hold, stop.Std(), done);
  } else {
    state->ended.wait_until(hold, stop.Std(), deadline.When(), done);
  }
  if (state->done) return BoundedOutcome::kDone;
  return stop.StopRequested() ? BoundedOutcome::kStopped : BoundedOutcome::kTimedOut;
}

}  // namespace morvanix
