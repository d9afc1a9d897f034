#include "engine/orchestration/stream_stats.hpp"

#include <algorithm>

namespace kestrune::engine {

void record_send_deviation(StreamStats& stats, std::uint64_t deviation_ns) {
  const std::uint64_t bucket =
      std::min<std::uint64_t>(deviation_ns / kJitterBucketNanos, kJitterBuckets - 1);
  stats.jitter_histogram[bucket].fetch_add(1, std::memory_order_relaxed);
  stats.jitter_samples.fetch_add(1, std::memory_order_relaxed);
  std::uint64_t current = stats.max_deviation_ns.load(std::memory_order_relaxed);
  while (deviation_ns > current &&
         !stats.max_deviation_ns.compare_exchange_weak(current, deviation_ns,
                                                       std::memory_order_relaxed)) {
  }
}

}  // namespace kestrune::engine
