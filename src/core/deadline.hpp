// Deadlines on the monotonic clock: a caller's timeout becomes one absolute deadline at entry.
#pragma once

#include <chrono>
#include <cstdint>

namespace tavro {

using Clock = std::chrono::steady_clock;
using Duration = Clock::duration;
using TimePoint = Clock::time_point;

inline TimePoint deadline_after_ms(uint64_t ms) {
  // Clamp absurdly long time-outs instead of overflowing the clock.
  constexpr uint64_t kMaxMs = 100ull * 365 * 24 * 3600 * 1000;
  return Clock::now() + std::chrono::milliseconds(ms > kMaxMs ? kMaxMs : ms);
}

// Same for a duration; negative durations give a deadline in the past.
inline TimePoint deadline_after(Duration timeout) {
  constexpr Duration kMax = std::chrono::hours(24 * 365 * 100);
  return Clock::now() + (timeout > kMax ? kMax : timeout);
}

// Long waits are cut into slices of at most this, so that a waiter notices close(), a failed session or a pending
// signal within one slice.
inline constexpr auto kWaitSlice = std::chrono::milliseconds(100);

// The end of the next slice of a wait that ends at `deadline`.
inline TimePoint slice_end(TimePoint deadline) {
  const TimePoint next = Clock::now() + kWaitSlice;
  return next < deadline ? next : deadline;
}

// Time left until `deadline`, zero if it has passed.
inline Duration time_left(TimePoint deadline) {
  auto now = Clock::now();
  return deadline > now ? deadline - now : Duration::zero();
}

}  // namespace tavro
