#pragma once

#include <memory>
#include <stop_token>

#include "base/wait_handle.h"

namespace morvanix {

namespace detail {
struct StopState;
}  // namespace detail

// The process's stop as seen by one blocking call. A token that no source made never stops.
// Cheap to copy; every copy sees the same stop.
class StopToken {
 public:
  StopToken() = default;

  bool StopRequested() const;
  // False for a token that no source made.
  bool StopPossible() const { return state_ != nullptr; }
  // The OS object that becomes ready at the stop and stays so: a descriptor that turns
  // readable (POSIX) or a manual-reset event (Windows). kNoWaitHandle for a token that can
  // never stop, or when the OS refused the object (waits then look at the stop in slices).
  WaitHandle Handle() const;
  // For condition-variable waits (std::condition_variable_any takes it).
  std::stop_token Std() const;

 private:
  friend class StopSource;
  explicit StopToken(std::shared_ptr<detail::StopState> state) : state_(std::move(state)) {}

  std::shared_ptr<detail::StopState> state_;
};

// Where a stop starts. RequestStop may be called from any thread, any number of times; the
// stop is kept, so a call that starts waiting after it returns at once.
class StopSource {
 public:
  StopSource();
  StopSource(const StopSource&) = delete;
  StopSource& operator=(const StopSource&) = delete;

  void RequestStop();
  bool StopRequested() const;
  StopToken Token() const { return StopToken(state_); }

 private:
  const std::shared_ptr<detail::StopState> state_;
};

}  // namespace morvanix
