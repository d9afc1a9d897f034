#include "platform/thread_timer.hpp"
#include "platform/thread_timer_testing.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace kestrune::platform {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::chrono::nanoseconds timed_sleep(std::chrono::nanoseconds duration) {
  const auto started = Clock::now();
  native_sleep(duration);
  return Clock::now() - started;
}

TEST(ThreadTimer, ThisThreadHasAHighResolutionTimer) {
  EXPECT_TRUE(thread_has_high_resolution_timer());
  EXPECT_GE(minimum_timer_period_ms(), 1u);
}

TEST(ThreadTimer, SleepsLastAtLeastTheirDurationOnBothPaths) {
  for (const bool fallback : {false, true}) {
    std::thread sleeper([&] {
      if (fallback) disable_thread_timer_for_testing();
      EXPECT_EQ(thread_has_high_resolution_timer(), !fallback);
      for (const auto duration : {1ms, 5ms, 20ms}) {
        const auto slept = timed_sleep(duration);
        EXPECT_GE(slept, duration) << "fallback=" << fallback;
        EXPECT_LT(slept, duration + 1s) << "fallback=" << fallback;
      }
      EXPECT_LT(timed_sleep(0ns), 1s);
      EXPECT_LT(timed_sleep(-5ms), 1s);
    });
    sleeper.join();
  }
}

TEST(ThreadTimer, DisablingIsPerThread) {
  std::thread other([] { disable_thread_timer_for_testing(); });
  other.join();
  EXPECT_TRUE(thread_has_high_resolution_timer());
}

}  // namespace
}  // namespace kestrune::platform
