#pragma once
// Owner time: every instant discovery stores is the time elapsed since the discovery owner thread
// read the monotonic clock at its start. Whole seconds are unsigned 64-bit, so expiries far in
// the future saturate at max() instead of wrapping.

#include <chrono>
#include <compare>
#include <cstdint>

namespace kestrune::discovery {

struct OwnerTime {
  std::uint64_t seconds = 0;
  std::uint32_t nanoseconds = 0;  // always below 1,000,000,000

  // A duration since the clock origin; a negative one counts as zero.
  static OwnerTime from_duration(std::chrono::nanoseconds since_origin);
  // Now, measured from the owner's clock origin (zero if the clock reads earlier).
  static OwnerTime since(std::chrono::steady_clock::time_point origin);
  // 2^64 - 1 seconds and 999,999,999 nanoseconds.
  static constexpr OwnerTime max() { return {UINT64_MAX, 999'999'999}; }

  // Later by whole seconds (nanoseconds kept); max() when the seconds overflow.
  OwnerTime plus_seconds(std::uint64_t more) const;
  // Later by a duration; max() on overflow, never earlier than *this for a negative duration.
  OwnerTime plus(std::chrono::nanoseconds more) const;
  // *this minus earlier: zero when earlier is not before *this, nanoseconds::max() when the
  // difference does not fit.
  std::chrono::nanoseconds duration_since(OwnerTime earlier) const;

  friend constexpr auto operator<=>(const OwnerTime&, const OwnerTime&) = default;
};

}  // namespace kestrune::discovery
