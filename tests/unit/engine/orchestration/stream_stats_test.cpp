#include "engine/orchestration/stream_stats.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/core/session_shared.hpp"

namespace kestrune::engine {
namespace {

std::unique_ptr<StreamStats> stats_with(const std::vector<std::uint64_t>& deviations_ns) {
  auto stats = std::make_unique<StreamStats>();
  for (const std::uint64_t d : deviations_ns) record_send_deviation(*stats, d);
  return stats;
}

TEST(StreamStats, DeviationsLandInTenMicrosecondBuckets) {
  struct Case {
    std::uint64_t deviation_ns;
    std::size_t bucket;
  };
  const Case cases[] = {
      {0, 0},
      {9'999, 0},
      {10'000, 1},
      {18'141, 1},
      {99'999'999, 9'999},
      {100'000'000, 10'000},
      {2'000'000'000, 10'000},
      {UINT64_MAX, 10'000},
  };
  for (const Case& c : cases) {
    const auto stats = stats_with({c.deviation_ns});
    EXPECT_EQ(stats->jitter_histogram[c.bucket].load(), 1u) << c.deviation_ns;
    EXPECT_EQ(stats->jitter_samples.load(), 1u);
    EXPECT_EQ(stats->max_deviation_ns.load(), c.deviation_ns);
  }
  EXPECT_EQ(StreamStats{}.jitter_histogram.size(), 10'001u);
}

TEST(StreamStats, TheMaximumOnlyRises) {
  const auto stats = stats_with({5'000, 70'000, 20'000});
  EXPECT_EQ(stats->max_deviation_ns.load(), 70'000u);
  EXPECT_EQ(summarize_stream_stats(*stats).jitterMaxUs, 70u);
}

TEST(StreamStats, Percentiles) {
  struct Case {
    const char* name;
    std::vector<std::uint64_t> deviations_ns;
    std::uint64_t p50, p95, p99;
  };
  std::vector<std::uint64_t> spread;
  spread.insert(spread.end(), 50, 5'000);         // bucket 0
  spread.insert(spread.end(), 45, 15'000);        // bucket 1
  spread.insert(spread.end(), 4, 25'000);         // bucket 2
  spread.insert(spread.end(), 1, 1'000'000'000);  // bucket 10,000
  const Case cases[] = {
      {"nothing recorded", {}, 0, 0, 0},
      {"one sample of 25 us", {25'000}, 30, 30, 30},
      {"one sample of 100 ms", {100'000'000}, 100'000, 100'000, 100'000},
      {"a sample in the last regular bucket", {99'999'999}, 100'000, 100'000, 100'000},
      {"a spread of 100", spread, 10, 20, 30},
  };
  for (const Case& c : cases) {
    const StreamSummary summary = summarize_stream_stats(*stats_with(c.deviations_ns));
    EXPECT_EQ(summary.jitterP50Us, c.p50) << c.name;
    EXPECT_EQ(summary.jitterP95Us, c.p95) << c.name;
    EXPECT_EQ(summary.jitterP99Us, c.p99) << c.name;
  }
}

TEST(StreamStats, ASampleCountAheadOfTheBucketsGivesTheTopValue) {
  // Read while "rt-sender" adds: the count may already include a deviation its bucket lacks.
  auto stats = stats_with({5'000});
  stats->jitter_samples.fetch_add(1);
  const StreamSummary summary = summarize_stream_stats(*stats);
  EXPECT_EQ(summary.jitterP50Us, 10u);
  EXPECT_EQ(summary.jitterP99Us, 100'000u);
}

TEST(StreamStats, TheFinalPublicationMergesTheSummaryIntoTheReport) {
  auto shared = make_session_shared(SessionId{}, 0.5f);
  auto stats = stats_with({25'000, 25'000});
  stats->packetsPrepared = 12;
  stats->packetsSent = 11;
  stats->underrunSilencePackets = 3;
  stats->retransmitRequested = 7;
  stats->retransmitFulfilled = 5;
  stats->bufferOverflows = 4;
  publish_final_stream_stats(*stats, *shared);
  const SessionMetrics metrics = shared->live_report.lock()->metrics;
  EXPECT_EQ(metrics.packetsPrepared, 12u);
  EXPECT_EQ(metrics.packetsSent, 11u);
  EXPECT_EQ(metrics.underrunSilencePackets, 3u);
  EXPECT_EQ(metrics.retransmitRequested, 7u);
  EXPECT_EQ(metrics.retransmitFulfilled, 5u);
  EXPECT_EQ(metrics.bufferOverflows, 4u);
  EXPECT_EQ(metrics.jitterP50Us, 30u);
  EXPECT_EQ(metrics.jitterMaxUs, 25u);
  EXPECT_TRUE(shared->mailbox->metrics_dirty.load());
}

}  // namespace
}  // namespace kestrune::engine
