#include "engine/orchestration/pacing_schedule.hpp"

namespace kestrune::engine {

std::optional<std::uint64_t> PacingSchedule::begin_send(MonotonicClock::time_point t) {
  if (t >= deadline_ && t - deadline_ > kPacketInterval) deadline_ = t;
  if (!previous_send_) return std::nullopt;
  const std::int64_t gap = std::chrono::nanoseconds(t - *previous_send_).count();
  const std::int64_t nominal = kPacketInterval.count();
  if (gap >= nominal) return static_cast<std::uint64_t>(gap - nominal);
  if (gap >= 0) return static_cast<std::uint64_t>(nominal - gap);
  // Only a clock that went back gives a negative gap; nominal + |gap| still fits 64 bits.
  return static_cast<std::uint64_t>(nominal) + (static_cast<std::uint64_t>(-(gap + 1)) + 1);
}

void PacingSchedule::complete_send(MonotonicClock::time_point t) {
  deadline_ += kPacketInterval;
  previous_send_ = t;
}

}  // namespace kestrune::engine
