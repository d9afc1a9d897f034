// The once-a-second publication of a playing stream's metrics.

#include "engine/orchestration/metrics_publication.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "engine/core/session_id.hpp"
#include "engine/core/session_report_merge.hpp"

namespace kestrune::engine {
namespace {

using namespace std::chrono_literals;

TEST(PublishStreamMetrics, PublishesAtMostOnceASecondAndOnceAfterAStall) {
  auto shared = make_session_shared(make_session_id().value(), 0.5F);
  auto stats = std::make_unique<StreamStats>();
  const Instant playing = std::chrono::steady_clock::now();
  MetricsPublication publication{playing + 1s};
  const FeedbackTotals feedback{4, 3, 1, 0};
  const TimingTotals timing{6, 5};
  const CaptureTotals capture{10, 20, 30, 1, 2, 0.25, 40'000};

  struct Step {
    std::chrono::milliseconds at;  // since playing
    std::uint64_t prepared;        // packetsPrepared by then
    bool publishes;
    std::chrono::milliseconds next;  // the next instant afterwards, since playing
  };
  const Step steps[] = {
      {0ms, 1, false, 1000ms},    {999ms, 2, false, 1000ms}, {1000ms, 3, true, 2000ms},
      {1500ms, 4, false, 2000ms}, {5500ms, 5, true, 6000ms}, {5999ms, 6, false, 6000ms},
      {6001ms, 7, true, 7000ms},
  };
  std::uint64_t published_prepared = 0;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.at.count());
    stats->packetsPrepared = step.prepared;
    stats->underrunSilencePackets = step.prepared / 2;
    EXPECT_EQ(publish_stream_metrics(publication, playing + step.at, *shared, *stats, capture,
                                     feedback, timing),
              step.publishes);
    EXPECT_EQ(publication.next, playing + step.next);
    if (step.publishes) published_prepared = step.prepared;
    const SessionMetrics metrics = shared->live_report.lock()->metrics;
    EXPECT_EQ(metrics.packetsPrepared, published_prepared);
    EXPECT_EQ(metrics.underrunSilencePackets, published_prepared / 2);
  }
  const SessionMetrics metrics = shared->live_report.lock()->metrics;
  EXPECT_EQ(metrics.feedbackSent, 4U);
  EXPECT_EQ(metrics.feedbackRejected, 1U);
  EXPECT_EQ(metrics.timingRequests, 6U);
  EXPECT_EQ(metrics.timingResponses, 5U);
  EXPECT_EQ(metrics.captureCallbacks, 10U);
  EXPECT_EQ(metrics.captureMaxAbs, 40'000U);
  EXPECT_DOUBLE_EQ(metrics.captureRms, 0.25);
}

TEST(PublishStreamMetrics, WithoutCaptureCountersLeavesThemAlone) {
  auto shared = make_session_shared(make_session_id().value(), 0.5F);
  merge_capture_metrics(*shared, CaptureTotals{5, 5, 5, 0, 0, 0.5, 9});
  auto stats = std::make_unique<StreamStats>();
  const Instant now = std::chrono::steady_clock::now();
  MetricsPublication publication{now};
  EXPECT_TRUE(publish_stream_metrics(publication, now, *shared, *stats, std::nullopt, {}, {}));
  const SessionMetrics metrics = shared->live_report.lock()->metrics;
  EXPECT_EQ(metrics.captureCallbacks, 5U);
  EXPECT_DOUBLE_EQ(metrics.captureRms, 0.5);
}

}  // namespace
}  // namespace kestrune::engine
