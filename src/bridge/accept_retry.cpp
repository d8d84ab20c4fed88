#include "bridge/accept_retry.h"

#include <algorithm>

namespace morvanix {

AcceptRetry::Step AcceptRetry::Failed(AcceptFailure failure) {
  if (failure == AcceptFailure::kListenerLost ||
      (failure == AcceptFailure::kPassing && ++passingInARow_ >= policy_.passingBeforeRebind)) {
    Succeeded();  // a fresh listener starts with a clean slate
    return Step{std::chrono::milliseconds(0), true};
  }
  ++inARow_;
  nextWait_ = inARow_ == 1 ? policy_.first : std::min(nextWait_ * 2, policy_.longest);
  return Step{std::min(nextWait_, policy_.longest), false};
}

void AcceptRetry::Succeeded() {
  inARow_ = 0;
  passingInARow_ = 0;
  nextWait_ = std::chrono::milliseconds(0);
}

}  // namespace morvanix
