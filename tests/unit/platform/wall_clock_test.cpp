#include "platform/wall_clock.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>

namespace kestrune::platform {
namespace {

TEST(WallClock, ReadsTheSystemTimeSince1970) {
  const auto before = std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::system_clock::now().time_since_epoch());
  const WallClockTime reading = read_wall_clock();
  const auto after = std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::system_clock::now().time_since_epoch());
  EXPECT_LT(reading.nanoseconds, 1'000'000'000u);
  const std::int64_t nanos = reading.seconds * 1'000'000'000 + reading.nanoseconds;
  EXPECT_GE(nanos, before.count());
  EXPECT_LE(nanos, after.count());
}

}  // namespace
}  // namespace kestrune::platform
