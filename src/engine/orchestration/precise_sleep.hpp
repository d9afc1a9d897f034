#pragma once
// Sleeps that end on time to within a few microseconds, for the pacing of "rt-sender". The native
// sleep ends a margin before the deadline (0.7 ms on the thread's high-resolution timer, one
// system timer period without it) and the rest is spun on the monotonic clock with the processor's
// pause hint, so the thread never wakes late because the system woke it late.

#include <chrono>

namespace kestrune::engine {

using MonotonicClock = std::chrono::steady_clock;

inline constexpr std::chrono::nanoseconds kHighResolutionSleepMargin{700'000};

// The margin for the calling thread: kHighResolutionSleepMargin when its high-resolution timer
// exists (making it on first use), else the system's minimum timer period.
std::chrono::nanoseconds thread_sleep_margin();

// Sleeps natively for `remaining` - `margin` when `remaining` is longer than the margin, then
// spins until `deadline`. `remaining` is the time the caller measured to the deadline.
void precise_sleep(std::chrono::nanoseconds margin, std::chrono::nanoseconds remaining,
                   MonotonicClock::time_point deadline);

// precise_sleep for the time left to `deadline` (none when it has passed).
void precise_sleep_until(std::chrono::nanoseconds margin, MonotonicClock::time_point deadline);

}  // namespace kestrune::engine
