#pragma once

#include <chrono>

namespace morvanix {

using SteadyClock = std::chrono::steady_clock;

// A point on the steady clock by which a wait must end. Every blocking call takes one, so
// that a bound is a time, never a count of polls or passes. Default: never passes.
class Deadline {
 public:
  constexpr Deadline() = default;

  // Saturates: a wait too long for the clock never passes, one below zero has passed.
  template <typename Rep, typename Period>
  static Deadline After(std::chrono::duration<Rep, Period> wait) {
    const SteadyClock::time_point now = SteadyClock::now();
    if (wait <= wait.zero()) return At(now);
    // Compared in the wait's own unit, so that a huge one is not multiplied out first.
    using Wait = std::chrono::duration<Rep, Period>;
    if (wait >= std::chrono::duration_cast<Wait>(SteadyClock::time_point::max() - now)) {
      return Never();
    }
    return At(now + std::chrono::duration_cast<SteadyClock::duration>(wait));
  }
  static Deadline At(SteadyClock::time_point when) { return Deadline(when); }
  static constexpr Deadline Never() { return Deadline(); }

  bool IsNever() const { return when_ == SteadyClock::time_point::max(); }
  SteadyClock::time_point When() const { return when_; }
  bool Passed() const { return !IsNever() && SteadyClock::now() >= when_; }
  // What is left; zero once passed, the clock's maximum for a deadline that never passes.
  SteadyClock::duration Left() const {
    if (IsNever()) return SteadyClock::duration::max();
    const auto left = when_ - SteadyClock::now();
    return left > SteadyClock::duration::zero() ? left : SteadyClock::duration::zero();
  }
  // The earlier of the two.
  Deadline Sooner(const Deadline& other) const { return other.when_ < when_ ? other : *this; }

  friend bool operator==(const Deadline&, const Deadline&) = default;

 private:
  constexpr explicit Deadline(SteadyClock::time_point when) : when_(when) {}

  SteadyClock::time_point when_ = SteadyClock::time_point::max();
};

// Whole milliseconds to hand an OS wait so that it never ends before the deadline (rounded
// up); -1 for a deadline that never passes; at most maxMs, after which the caller waits
// again (an OS wait's own limit, never a polling slice).
long long WaitMilliseconds(const Deadline& deadline, long long maxMs);

}  // namespace morvanix
