#include "engine/orchestration/stream_stats.hpp"

#include <algorithm>
#include <limits>

#include "engine/core/session_report_merge.hpp"
#include "engine/core/session_shared.hpp"

namespace kestrune::engine {

void record_send_deviation(StreamStats& stats, std::uint64_t deviation_ns) {
  const std::uint64_t bucket =
      std::min<std::uint64_t>(deviation_ns / kJitterBucketNanos, kJitterBuckets - 1);
  stats.jitter_histogram[bucket].fetch_add(1, std::memory_order_relaxed);
  stats.jitter_samples.fetch_add(1, std::memory_order_relaxed);
  std::uint64_t current = stats.max_deviation_ns.load(std::memory_order_relaxed);
  // "rt-sender" is the only writer, so this settles at the first or second try.
  while (deviation_ns > current && !stats.max_deviation_ns.compare_exchange_weak(
                                       current, deviation_ns, std::memory_order_relaxed)) {
  }
}

namespace {

constexpr std::uint64_t kLargestPercentileUs = 100'000;

std::uint64_t load(const std::atomic<std::uint64_t>& counter) {
  return counter.load(std::memory_order_relaxed);
}

std::uint64_t percentile_us(const StreamStats& stats, std::uint64_t samples,
                            std::uint64_t percent) {
  if (samples == 0) return 0;
  const std::uint64_t largest = std::numeric_limits<std::uint64_t>::max();
  const std::uint64_t product = samples > largest / percent ? largest : samples * percent;
  const std::uint64_t target = product / 100 + (product % 100 != 0 ? 1 : 0);
  std::uint64_t running = 0;
  for (std::size_t bucket = 0; bucket < kJitterBuckets; ++bucket) {
    running += load(stats.jitter_histogram[bucket]);
    if (running >= target) {
      return std::min<std::uint64_t>((bucket + 1) * (kJitterBucketNanos / 1000),
                                     kLargestPercentileUs);
    }
  }
  // The buckets are read while "rt-sender" may still add: a sum behind the sample count.
  return kLargestPercentileUs;
}

}  // namespace

StreamSummary summarize_stream_stats(const StreamStats& stats) {
  StreamSummary summary;
  summary.packetsPrepared = load(stats.packetsPrepared);
  summary.packetsSent = load(stats.packetsSent);
  summary.underrunSilencePackets = load(stats.underrunSilencePackets);
  summary.retransmitRequested = load(stats.retransmitRequested);
  summary.retransmitFulfilled = load(stats.retransmitFulfilled);
  const std::uint64_t samples = load(stats.jitter_samples);
  summary.jitterP50Us = percentile_us(stats, samples, 50);
  summary.jitterP95Us = percentile_us(stats, samples, 95);
  summary.jitterP99Us = percentile_us(stats, samples, 99);
  summary.jitterMaxUs = load(stats.max_deviation_ns) / 1000;
  summary.bufferOverflows = load(stats.bufferOverflows);
  return summary;
}

void publish_final_stream_stats(const StreamStats& stats, SessionShared& shared) {
  merge_stream_summary(shared, summarize_stream_stats(stats));
}

}  // namespace kestrune::engine
