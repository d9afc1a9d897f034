#pragma once
// The NTP time form of the sync packets and the timing replies: the wall clock as seconds since
// 1900 (kept modulo 2^32) in the upper half and the fraction of a second in 2^-32 units in the
// lower half.

#include <cstdint>

#include "platform/wall_clock.hpp"
#include "support/error.hpp"

namespace kestrune::engine {

// Seconds from 1900-01-01 to 1970-01-01.
inline constexpr std::uint64_t kNtpUnixEpochOffsetSeconds = 2'208'988'800;

// ((seconds + offset) mod 2^32) * 2^32 + floor(nanoseconds * 2^32 / 10^9). Fails with
// "NTP seconds overflow" when seconds + offset does not fit 64 bits. `nanoseconds` is below 10^9.
support::Result<std::uint64_t> ntp_time_from_unix(std::uint64_t seconds, std::uint32_t nanoseconds);

// As above for a wall-clock reading; a reading before 1970 fails with
// "system clock is before Unix epoch".
support::Result<std::uint64_t> ntp_time_from_wall_clock(platform::WallClockTime time);

// The wall clock now, in NTP form.
support::Result<std::uint64_t> current_ntp_time();

}  // namespace kestrune::engine
