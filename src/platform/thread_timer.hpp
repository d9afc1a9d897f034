#pragma once
// Native sleeps for the pacing thread. Each thread owns one high-resolution timer (a timerfd on
// CLOCK_MONOTONIC), made on the thread's first sleep or query and closed when the thread exits; a
// failed creation is remembered for the thread's life, and the sleeps then fall back to
// clock_nanosleep, whose wake-ups are only as good as the system timer period.

#include <chrono>
#include <cstdint>

namespace kestrune::platform {

// Whether the calling thread's high-resolution timer exists (creating it on the first call).
bool thread_has_high_resolution_timer();

// Sleeps the calling thread for about `duration` (nothing for zero or less): on the thread's timer
// when it exists and accepts the wait, else with the ordinary sleep.
void native_sleep(std::chrono::nanoseconds duration);

// The system's minimum timer period in whole milliseconds (at least 1), read once per process:
// how early a fallback sleep must end to be sure not to overshoot.
std::uint32_t minimum_timer_period_ms();

}  // namespace kestrune::platform
