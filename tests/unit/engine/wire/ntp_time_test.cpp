#include "engine/wire/ntp_time.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <limits>

namespace kestrune::engine {
namespace {

constexpr std::uint64_t kTwoTo32 = std::uint64_t{1} << 32;

TEST(NtpTime, Conversion) {
  struct Case {
    std::uint64_t seconds;
    std::uint32_t nanoseconds;
    std::uint64_t ntp;
  };
  const Case cases[] = {
      {0, 0, kNtpUnixEpochOffsetSeconds * kTwoTo32},
      {0, 500'000'000, kNtpUnixEpochOffsetSeconds * kTwoTo32 + (kTwoTo32 / 2)},
      // floor(999,999,999 * 2^32 / 10^9) = 2^32 - 5
      {1, 999'999'999, (kNtpUnixEpochOffsetSeconds + 1) * kTwoTo32 + kTwoTo32 - 5},
      {0, 1, kNtpUnixEpochOffsetSeconds * kTwoTo32 + 4},
      // Seconds since 1900 are kept modulo 2^32 (the first era ends in 2036).
      {kTwoTo32 - kNtpUnixEpochOffsetSeconds, 0, 0},
      {kTwoTo32 - kNtpUnixEpochOffsetSeconds + 7, 250'000'000, 7 * kTwoTo32 + kTwoTo32 / 4},
  };
  for (const Case& c : cases) {
    const auto ntp = ntp_time_from_unix(c.seconds, c.nanoseconds);
    ASSERT_TRUE(ntp) << c.seconds;
    EXPECT_EQ(*ntp, c.ntp) << c.seconds << "." << c.nanoseconds;
  }
}

TEST(NtpTime, TheTwoErrors) {
  const std::uint64_t largest = std::numeric_limits<std::uint64_t>::max();
  EXPECT_TRUE(ntp_time_from_unix(largest - kNtpUnixEpochOffsetSeconds, 0));
  const auto overflow = ntp_time_from_unix(largest - kNtpUnixEpochOffsetSeconds + 1, 0);
  ASSERT_FALSE(overflow);
  EXPECT_EQ(overflow.error().root_message(), "NTP seconds overflow");

  const auto before = ntp_time_from_wall_clock({-1, 500'000'000});
  ASSERT_FALSE(before);
  EXPECT_EQ(before.error().root_message(), "system clock is before Unix epoch");
  EXPECT_EQ(ntp_time_from_wall_clock({0, 500'000'000}).value(),
            kNtpUnixEpochOffsetSeconds * kTwoTo32 + kTwoTo32 / 2);
}

TEST(NtpTime, CurrentTimeFollowsTheSystemClock) {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const auto ntp = current_ntp_time();
  ASSERT_TRUE(ntp);
  const auto unix_seconds = std::chrono::duration_cast<std::chrono::seconds>(now).count();
  const std::uint64_t expected_upper =
      (static_cast<std::uint64_t>(unix_seconds) + kNtpUnixEpochOffsetSeconds) & 0xFFFF'FFFFu;
  const std::uint64_t upper = *ntp >> 32;
  EXPECT_TRUE(upper == expected_upper || upper == ((expected_upper + 1) & 0xFFFF'FFFFu));
}

}  // namespace
}  // namespace kestrune::engine
