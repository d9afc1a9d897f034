#pragma once
// The system wall clock (CLOCK_REALTIME), as the time since 1970-01-01 00:00:00 UTC. Unlike the
// monotonic clock it can be set, also to a time before 1970, which the reading keeps.

#include <cstdint>

namespace kestrune::platform {

struct WallClockTime {
  std::int64_t seconds;       // negative before 1970
  std::uint32_t nanoseconds;  // 0 to 999,999,999, added to `seconds`
};

WallClockTime read_wall_clock();

}  // namespace kestrune::platform
