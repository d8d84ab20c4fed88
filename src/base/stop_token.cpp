#include "base/stop_token.h"

#include "base/stop_wake.h"

namespace morvanix {

namespace detail {

struct StopState {
  StopState() : wake(CreateStopWake()) {}
  ~StopState() { CloseStopWake(wake); }
  StopState(const StopState&) = delete;
  StopState& operator=(const StopState&) = delete;

  std::stop_source source;
  const WaitHandle wake;
};

}  // namespace detail

bool StopToken::StopRequested() const {
  return state_ != nullptr && state_->source.stop_requested();
}

WaitHandle StopToken::Handle() const {
  return state_ != nullptr ? state_->wake : kNoWaitHandle;
}

std::stop_token StopToken::Std() const {
  return state_ != nullptr ? state_->source.get_token() : std::stop_token();
}

StopSource::StopSource() : state_(std::make_shared<detail::StopState>()) {}

void StopSource::RequestStop() {
  // The flag first, so that a waiter woken by the OS object always sees the stop.
  if (state_->source.request_stop()) detail::SignalStopWake(state_->wake);
}

bool StopSource::StopRequested() const {
  return state_->source.stop_requested();
}

}  // namespace morvanix
