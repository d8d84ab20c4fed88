#pragma once

#include <chrono>

namespace morvanix {

// What a failed accept says about the listening socket.
enum class AcceptFailure {
  kPassing,       // one connection went wrong (reset before it was taken, interrupted)
  kResources,     // descriptors or buffers ran out; they come back as connections end
  kListenerLost,  // the listening socket itself is no longer usable
};

struct AcceptRetryPolicy {
  // The wait after a first failure, doubled after each further one up to `longest`.
  std::chrono::milliseconds first{10};
  std::chrono::milliseconds longest{500};
  // Passing failures in a row after which the listener is taken for lost: an error that
  // never clears would otherwise be retried for ever while nothing is served.
  int passingBeforeRebind = 20;
};

// Decides, failure by failure, how long the accept loop waits before it accepts again and
// when it should give the listening socket up and bind the endpoint afresh.
class AcceptRetry {
 public:
  struct Step {
    std::chrono::milliseconds wait{0};
    bool rebind = false;
  };

  explicit AcceptRetry(AcceptRetryPolicy policy = {}) : policy_(policy) {}

  Step Failed(AcceptFailure failure);
  void Succeeded();

  // Failures since the last accepted connection (or rebind).
  int InARow() const { return inARow_; }

 private:
  AcceptRetryPolicy policy_;
  int inARow_ = 0;
  int passingInARow_ = 0;
  std::chrono::milliseconds nextWait_{0};
};

}  // namespace morvanix
