#include "platform/wall_clock.hpp"

#include <time.h>

namespace kestrune::platform {

WallClockTime read_wall_clock() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return WallClockTime{static_cast<std::int64_t>(now.tv_sec),
                       static_cast<std::uint32_t>(now.tv_nsec)};
}

}  // namespace kestrune::platform
