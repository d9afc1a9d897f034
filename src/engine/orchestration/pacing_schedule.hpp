#pragma once
// The send schedule of "rt-sender": one packet every 7,981,859 ns (352 frames at 44,100 Hz, cut to
// whole nanoseconds). The deadline advances by the nominal interval, not by the measured one, so
// the long-term rate holds whatever the individual wake-ups; only a send a whole interval or more
// late re-anchors the schedule at that send. The schedule is driven by the caller's clock
// readings, which is what lets its rules be checked with made-up instants.

#include <chrono>
#include <cstdint>
#include <optional>

#include "engine/orchestration/precise_sleep.hpp"

namespace kestrune::engine {

inline constexpr std::chrono::nanoseconds kPacketInterval{7'981'859};

class PacingSchedule {
 public:
  // The first deadline is `start`: the first packet goes out as soon as it arrives.
  explicit PacingSchedule(MonotonicClock::time_point start) : deadline_(start) {}

  MonotonicClock::time_point deadline() const { return deadline_; }

  // At the send instant `t` of a packet: moves the deadline to `t` when `t` is 7,981,860 ns or
  // more past it, and returns |interval since the previous send - nominal interval| in ns
  // (nothing for the first packet).
  std::optional<std::uint64_t> begin_send(MonotonicClock::time_point t);

  // After every datagram of the packet was sent: the next deadline is one interval on, and `t`
  // becomes the previous send instant.
  void complete_send(MonotonicClock::time_point t);

 private:
  MonotonicClock::time_point deadline_;
  std::optional<MonotonicClock::time_point> previous_send_;
};

}  // namespace kestrune::engine
