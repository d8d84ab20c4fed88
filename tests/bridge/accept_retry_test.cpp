// How the accept loop treats a failed accept, on the platform it was built for.
#include "bridge/accept_retry.h"

#include <gtest/gtest.h>

#include <vector>

#include "bridge/listen_socket.h"

#if defined(_WIN32)
#include <winsock2.h>
#else
#include <cerrno>
#endif

using namespace morvanix;
using namespace std::chrono_literals;

namespace {

TEST(BridgeAcceptRetry, ClassifiesThePlatformsErrors) {
  struct Case {
    int error;
    AcceptFailure expected;
  };
#if defined(_WIN32)
  const std::vector<Case> cases = {
      {WSAECONNRESET, AcceptFailure::kPassing},  {WSAEINTR, AcceptFailure::kPassing},
      {WSAEWOULDBLOCK, AcceptFailure::kPassing}, {WSAENOBUFS, AcceptFailure::kResources},
      {WSAEMFILE, AcceptFailure::kResources},    {WSAENOTSOCK, AcceptFailure::kListenerLost},
      {WSAEINVAL, AcceptFailure::kListenerLost}, {WSAENETDOWN, AcceptFailure::kListenerLost},
  };
#else
  const std::vector<Case> cases = {
      {ECONNABORTED, AcceptFailure::kPassing},  {EINTR, AcceptFailure::kPassing},
      {EAGAIN, AcceptFailure::kPassing},        {EPROTO, AcceptFailure::kPassing},
      {EMFILE, AcceptFailure::kResources},      {ENFILE, AcceptFailure::kResources},
      {ENOBUFS, AcceptFailure::kResources},     {EBADF, AcceptFailure::kListenerLost},
      {ENOTSOCK, AcceptFailure::kListenerLost}, {EINVAL, AcceptFailure::kListenerLost},
  };
#endif
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    EXPECT_EQ(ClassifyAcceptError(c.error), c.expected);
  }
}

TEST(BridgeAcceptRetry, BacksOffAndRebindsWhenFailuresPersist) {
  using F = AcceptFailure;
  struct Case {
    const char* name;
    std::vector<F> failures;
    // The step after the last failure.
    std::chrono::milliseconds wait;
    bool rebind;
  };
  const AcceptRetryPolicy policy{10ms, 80ms, 4};
  const std::vector<Case> cases = {
      {"first passing failure", {F::kPassing}, 10ms, false},
      {"doubling", {F::kPassing, F::kResources, F::kResources}, 40ms, false},
      {"capped",
       {F::kResources, F::kResources, F::kResources, F::kResources, F::kResources},
       80ms,
       false},
      {"resources never rebind", std::vector<F>(30, F::kResources), 80ms, false},
      {"passing failures that persist",
       {F::kPassing, F::kPassing, F::kPassing, F::kPassing},
       0ms,
       true},
      {"a lost listener at once", {F::kListenerLost}, 0ms, true},
      {"a fresh start after a rebind", {F::kListenerLost, F::kPassing}, 10ms, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AcceptRetry retry(policy);
    AcceptRetry::Step step;
    for (F failure : c.failures) step = retry.Failed(failure);
    EXPECT_EQ(step.wait, c.wait);
    EXPECT_EQ(step.rebind, c.rebind);
  }
}

TEST(BridgeAcceptRetry, AnAcceptedConnectionStartsAfresh) {
  AcceptRetry retry(AcceptRetryPolicy{10ms, 80ms, 3});
  retry.Failed(AcceptFailure::kPassing);
  retry.Failed(AcceptFailure::kPassing);
  retry.Succeeded();
  EXPECT_EQ(retry.InARow(), 0);
  const AcceptRetry::Step step = retry.Failed(AcceptFailure::kPassing);
  EXPECT_EQ(step.wait, 10ms);
  EXPECT_FALSE(step.rebind);
}

}  // namespace
