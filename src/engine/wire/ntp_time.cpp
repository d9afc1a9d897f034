#include "engine/wire/ntp_time.hpp"

#include <limits>

namespace kestrune::engine {

support::Result<std::uint64_t> ntp_time_from_unix(std::uint64_t seconds,
                                                  std::uint32_t nanoseconds) {
  if (seconds > std::numeric_limits<std::uint64_t>::max() - kNtpUnixEpochOffsetSeconds) {
    return support::fail("NTP seconds overflow");
  }
  const std::uint64_t ntp_seconds = (seconds + kNtpUnixEpochOffsetSeconds) & 0xFFFF'FFFFu;
  // nanoseconds < 10^9, so the shifted value stays below 2^62.
  const std::uint64_t fraction = (std::uint64_t{nanoseconds} << 32) / 1'000'000'000u;
  return (ntp_seconds << 32) | fraction;
}

support::Result<std::uint64_t> ntp_time_from_wall_clock(platform::WallClockTime time) {
  if (time.seconds < 0) return support::fail("system clock is before Unix epoch");
  return ntp_time_from_unix(static_cast<std::uint64_t>(time.seconds), time.nanoseconds);
}

support::Result<std::uint64_t> current_ntp_time() {
  return ntp_time_from_wall_clock(platform::read_wall_clock());
}

}  // namespace kestrune::engine
