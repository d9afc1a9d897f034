#include "discovery/owner_time.hpp"

namespace kestrune::discovery {
namespace {

constexpr std::int64_t kNanosPerSecond = 1'000'000'000;

}  // namespace

OwnerTime OwnerTime::from_duration(std::chrono::nanoseconds since_origin) {
  const std::int64_t count = since_origin.count();
  if (count <= 0) return {};
  return {static_cast<std::uint64_t>(count / kNanosPerSecond),
          static_cast<std::uint32_t>(count % kNanosPerSecond)};
}

OwnerTime OwnerTime::since(std::chrono::steady_clock::time_point origin) {
  return from_duration(std::chrono::steady_clock::now() - origin);
}

OwnerTime OwnerTime::plus_seconds(std::uint64_t more) const {
  if (seconds > UINT64_MAX - more) return max();
  return {seconds + more, nanoseconds};
}

OwnerTime OwnerTime::plus(std::chrono::nanoseconds more) const {
  if (more.count() <= 0) return *this;
  const OwnerTime step = from_duration(more);
  std::uint32_t nanos = nanoseconds + step.nanoseconds;
  std::uint64_t carry = 0;
  if (nanos >= kNanosPerSecond) {
    nanos -= static_cast<std::uint32_t>(kNanosPerSecond);
    carry = 1;
  }
  const OwnerTime whole = plus_seconds(step.seconds);
  if (whole == max() || (whole.seconds == UINT64_MAX && carry != 0)) return max();
  return {whole.seconds + carry, nanos};
}

std::chrono::nanoseconds OwnerTime::duration_since(OwnerTime earlier) const {
  if (*this <= earlier) return std::chrono::nanoseconds::zero();
  std::uint64_t whole = seconds - earlier.seconds;
  std::int64_t nanos = std::int64_t{nanoseconds} - std::int64_t{earlier.nanoseconds};
  if (nanos < 0) {
    nanos += kNanosPerSecond;
    whole -= 1;
  }
  constexpr std::uint64_t kMaxWhole = INT64_MAX / kNanosPerSecond;
  if (whole > kMaxWhole || (whole == kMaxWhole && nanos > INT64_MAX % kNanosPerSecond)) {
    return std::chrono::nanoseconds::max();
  }
  return std::chrono::nanoseconds(static_cast<std::int64_t>(whole) * kNanosPerSecond + nanos);
}

}  // namespace kestrune::discovery
