#include "base/deadline.h"

namespace morvanix {

long long WaitMilliseconds(const Deadline& deadline, long long maxMs) {
  if (deadline.IsNever()) return -1;
  const auto left = deadline.Left();
  // Rounded up: a wait that ends a fraction early would only wait again.
  long long ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return ms < maxMs ? ms : maxMs;
}

}  // namespace morvanix
