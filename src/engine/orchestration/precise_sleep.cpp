#include "engine/orchestration/precise_sleep.hpp"

#include "platform/thread_timer.hpp"

namespace kestrune::engine {

namespace {

inline void pause_hint() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

}  // namespace

std::chrono::nanoseconds thread_sleep_margin() {
  if (platform::thread_has_high_resolution_timer()) return kHighResolutionSleepMargin;
  return std::chrono::milliseconds(platform::minimum_timer_period_ms());
}

void precise_sleep(std::chrono::nanoseconds margin, std::chrono::nanoseconds remaining,
                   MonotonicClock::time_point deadline) {
  if (remaining > margin) platform::native_sleep(remaining - margin);
  // Bounded by the deadline: the native sleep has brought it within the margin (or past it).
  while (MonotonicClock::now() < deadline) pause_hint();
}

void precise_sleep_until(std::chrono::nanoseconds margin, MonotonicClock::time_point deadline) {
  const auto now = MonotonicClock::now();
  const auto remaining =
      deadline > now ? std::chrono::nanoseconds(deadline - now) : std::chrono::nanoseconds::zero();
  precise_sleep(margin, remaining, deadline);
}

}  // namespace kestrune::engine
