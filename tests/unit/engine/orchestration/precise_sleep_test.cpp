#include "engine/orchestration/precise_sleep.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/thread_timer.hpp"
#include "platform/thread_timer_testing.hpp"

namespace kestrune::engine {
namespace {

using namespace std::chrono_literals;

TEST(PreciseSleep, TheMarginFollowsTheThreadsTimer) {
  EXPECT_EQ(thread_sleep_margin(), 700us);
  std::thread fallback([] {
    platform::disable_thread_timer_for_testing();
    EXPECT_EQ(thread_sleep_margin(),
              std::chrono::milliseconds(platform::minimum_timer_period_ms()));
  });
  fallback.join();
}

TEST(PreciseSleep, NeverWakesBeforeTheDeadline) {
  for (const bool fallback : {false, true}) {
    std::thread sleeper([&] {
      if (fallback) platform::disable_thread_timer_for_testing();
      const auto margin = thread_sleep_margin();
      for (const auto ahead : {0ms, 1ms, 3ms, 12ms}) {
        const auto deadline = MonotonicClock::now() + ahead;
        precise_sleep_until(margin, deadline);
        const auto woke = MonotonicClock::now();
        EXPECT_GE(woke, deadline) << "fallback=" << fallback;
        EXPECT_LT(woke - deadline, 1s) << "fallback=" << fallback;
      }
      // A deadline in the past returns at once.
      const auto started = MonotonicClock::now();
      precise_sleep_until(margin, started - 1s);
      EXPECT_LT(MonotonicClock::now() - started, 1s);
    });
    sleeper.join();
  }
}

}  // namespace
}  // namespace kestrune::engine
