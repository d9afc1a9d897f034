#pragma once
// The counters of one stream, shared by "rt-sender", "rt-control" and the coordinator. Every field
// is atomic and only ever incremented or added to (the maximum is raised with compare-and-swap);
// a reader reads them one by one while the others may still add, never as one snapshot.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace kestrune::engine {

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
  std::atomic<std::uint64_t> retransmitRequested{0};     // packets asked for
  std::atomic<std::uint64_t> retransmitFulfilled{0};     // replies sent
  std::atomic<std::uint64_t> max_deviation_ns{0};
};

// Records one send-interval deviation: its bucket, the sample count and the maximum.
void record_send_deviation(StreamStats& stats, std::uint64_t deviation_ns);

}  // namespace kestrune::engine
