#pragma once
// The counters of one stream, shared by "rt-sender", "rt-control" and the coordinator. Every field
// is atomic and only ever incremented or added to (the maximum is raised with compare-and-swap);
// a reader reads them one by one while the others may still add, never as one snapshot.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "engine/core/stream_summary.hpp"

namespace kestrune::engine {

struct SessionShared;

// Bucket i counts send-interval deviations of i * 10 us up to (i + 1) * 10 us; the last bucket
// also takes every deviation of 100 ms or more.
inline constexpr std::size_t kJitterBuckets = 10'001;
inline constexpr std::uint64_t kJitterBucketNanos = 10'000;

struct StreamStats {
  std::array<std::atomic<std::uint64_t>, kJitterBuckets> jitter_histogram{};
  std::atomic<std::uint64_t> jitter_samples{0};
  std::atomic<std::uint64_t> packetsPrepared{0};         // handed to the packet channel
  std::atomic<std::uint64_t> packetsSent{0};             // every datagram of the packet sent
  std::atomic<std::uint64_t> underrunSilencePackets{0};  // silence the live loop inserted
  std::atomic<std::uint64_t> bufferOverflows{0};  // capture chunks the live loop dropped, too late
  std::atomic<std::uint64_t> retransmitRequested{0};  // packets asked for
  std::atomic<std::uint64_t> retransmitFulfilled{0};  // replies sent
  std::atomic<std::uint64_t> max_deviation_ns{0};
};

// Records one send-interval deviation: its bucket, the sample count and the maximum.
void record_send_deviation(StreamStats& stats, std::uint64_t deviation_ns);

// The six counters, the 50th, 95th and 99th percentile of the deviations and the largest one, in
// microseconds. A percentile is the upper edge of the first bucket where the running count reaches
// ceil(samples * P / 100), at most 100,000 us; 0 when nothing was recorded.
StreamSummary summarize_stream_stats(const StreamStats& stats);

// Merges the summary into the session report, once, after the workers have stopped.
void publish_final_stream_stats(const StreamStats& stats, SessionShared& shared);

}  // namespace kestrune::engine
