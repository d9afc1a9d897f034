#include "engine/core/session_report.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <limits>

#include "engine/core/session_report_merge.hpp"
#include "engine/core/session_shared.hpp"

namespace kestrune::engine {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kU32Max = std::numeric_limits<std::uint32_t>::max();

struct ReportFixture : ::testing::Test {
  std::shared_ptr<SessionShared> shared = make_session_shared(SessionId{}, 1.0f);

  SessionMetrics metrics() { return snapshot_session_report(*shared).metrics; }
  ShutdownEvidence evidence() { return snapshot_session_report(*shared).evidence; }
};

TEST_F(ReportFixture, FreshReportIsZeroAndNotApplicable) {
  const SessionReport report = snapshot_session_report(*shared);
  SessionMetrics expected;
  expected.elapsedMs = report.metrics.elapsedMs;
  EXPECT_EQ(report.metrics, expected);
  EXPECT_EQ(report.evidence, ShutdownEvidence{});
}

TEST_F(ReportFixture, CaptureCountersKeepTheirMaximumAndRmsTheLatest) {
  merge_capture_metrics(*shared, {.callbacks = 5,
                                  .chunks = 5,
                                  .frames = 5,
                                  .queueDrops = 5,
                                  .callbackErrors = 5,
                                  .rms = 0.4,
                                  .peak = 900});
  merge_capture_metrics(*shared, {.callbacks = 3,
                                  .chunks = 3,
                                  .frames = 3,
                                  .queueDrops = 3,
                                  .callbackErrors = 3,
                                  .rms = 0.2,
                                  .peak = 100});
  const SessionMetrics m = metrics();
  EXPECT_EQ(m.captureCallbacks, 5u);
  EXPECT_EQ(m.captureChunks, 5u);
  EXPECT_EQ(m.captureFrames, 5u);
  EXPECT_EQ(m.captureQueueDrops, 5u);
  EXPECT_EQ(m.captureCallbackErrors, 5u);
  EXPECT_EQ(m.captureRms, 0.2);
  EXPECT_EQ(m.captureMaxAbs, 900u);

  merge_capture_metrics(*shared, {.peak = std::uint64_t{1} << 40});
  EXPECT_EQ(metrics().captureMaxAbs, kU32Max);
}

TEST_F(ReportFixture, StreamCountersKeepTheirMaximumPercentilesTheLatest) {
  merge_stream_summary(*shared, {.packetsPrepared = 10,
                                 .packetsSent = 9,
                                 .underrunSilencePackets = 2,
                                 .retransmitRequested = 4,
                                 .retransmitFulfilled = 3,
                                 .jitterP50Us = 40,
                                 .jitterP95Us = 90,
                                 .jitterP99Us = 120,
                                 .jitterMaxUs = 700,
                                 .bufferOverflows = 6});
  merge_stream_summary(*shared, {.packetsPrepared = 8,
                                 .packetsSent = 11,
                                 .jitterP50Us = 20,
                                 .jitterP95Us = 30,
                                 .jitterP99Us = 50,
                                 .jitterMaxUs = 100,
                                 .bufferOverflows = 2});
  const SessionMetrics m = metrics();
  EXPECT_EQ(m.packetsPrepared, 10u);
  EXPECT_EQ(m.packetsSent, 11u);
  EXPECT_EQ(m.underrunSilencePackets, 2u);
  EXPECT_EQ(m.retransmitRequested, 4u);
  EXPECT_EQ(m.retransmitFulfilled, 3u);
  EXPECT_EQ(m.jitterP50Us, 20u);
  EXPECT_EQ(m.jitterP95Us, 30u);
  EXPECT_EQ(m.jitterP99Us, 50u);
  EXPECT_EQ(m.jitterMaxUs, 700u);
  EXPECT_EQ(m.bufferOverflows, 6u);
}

TEST_F(ReportFixture, PeriodicUpdateWithoutCaptureLeavesCaptureAlone) {
  merge_capture_metrics(*shared, {.callbacks = 7, .rms = 0.5, .peak = 12});
  PeriodicMetricsUpdate update;
  update.stream.packetsSent = 5;
  update.feedback = {.attempts = 3, .succeeded = 2, .rejected = 1, .transportFailures = 0};
  update.timing = {.requests = 6, .responses = 5};
  merge_periodic_metrics(*shared, update);
  update.feedback = {.attempts = 1};
  update.timing = {.requests = 2, .responses = 2};
  update.capture = CaptureTotals{.callbacks = 9, .rms = 0.1, .peak = 3};
  merge_periodic_metrics(*shared, update);
  const SessionMetrics m = metrics();
  EXPECT_EQ(m.packetsSent, 5u);
  EXPECT_EQ(m.feedbackSent, 3u);
  EXPECT_EQ(m.feedbackSucceeded, 2u);
  EXPECT_EQ(m.feedbackRejected, 1u);
  EXPECT_EQ(m.timingRequests, 6u);
  EXPECT_EQ(m.timingResponses, 5u);
  EXPECT_EQ(m.captureCallbacks, 9u);
  EXPECT_EQ(m.captureRms, 0.1);
  EXPECT_EQ(m.captureMaxAbs, 12u);
}

TEST_F(ReportFixture, EvidenceMergesKeepForcedAndReplaceRequestOutcomes) {
  record_shutdown_evidence(*shared, 1,
                           {.workerCleanup = CleanupOutcome::forced,
                            .socketCleanup = CleanupOutcome::completed,
                            .flushOutcome = RequestOutcome::deadlineExceeded,
                            .teardownOutcome = RequestOutcome::succeeded});
  record_shutdown_evidence(*shared, 0,
                           {.workerCleanup = CleanupOutcome::completed,
                            .socketCleanup = CleanupOutcome::completed,
                            .flushOutcome = RequestOutcome::succeeded,
                            .teardownOutcome = RequestOutcome::succeeded});
  EXPECT_EQ(evidence(), (ShutdownEvidence{.workerCleanup = CleanupOutcome::forced,
                                          .socketCleanup = CleanupOutcome::completed,
                                          .flushOutcome = RequestOutcome::succeeded,
                                          .teardownOutcome = RequestOutcome::succeeded}));
  EXPECT_EQ(metrics().shutdownForcedStages, 1u);
}

TEST(CleanupOutcomeMerge, ForcedThenCompletedThenNotApplicable) {
  using enum CleanupOutcome;
  struct Case {
    CleanupOutcome stored, incoming, merged;
  };
  const Case cases[] = {
      {notApplicable, notApplicable, notApplicable},
      {notApplicable, completed, completed},
      {completed, notApplicable, completed},
      {completed, forced, forced},
      {forced, completed, forced},
      {forced, notApplicable, forced},
      {notApplicable, forced, forced},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(merge_cleanup_outcome(c.stored, c.incoming), c.merged)
        << wire_name(c.stored) << " + " << wire_name(c.incoming);
  }
}

TEST_F(ReportFixture, ForcedStagesAddAtLeastOneAndSaturate) {
  add_forced_shutdown_stages(*shared, 0);
  EXPECT_EQ(metrics().shutdownForcedStages, 1u);
  add_forced_shutdown_stages(*shared, 2);
  EXPECT_EQ(metrics().shutdownForcedStages, 3u);
  record_shutdown_evidence(*shared, kU32Max, {});
  EXPECT_EQ(metrics().shutdownForcedStages, kU32Max);
  add_forced_shutdown_stages(*shared, 0);
  EXPECT_EQ(metrics().shutdownForcedStages, kU32Max);
}

TEST_F(ReportFixture, WorkerCleanupBecomesForcedByLateWorkersAndStaysSo) {
  record_worker_cleanup(*shared, 0);
  EXPECT_EQ(evidence().workerCleanup, CleanupOutcome::completed);
  record_worker_cleanup(*shared, 2);
  EXPECT_EQ(evidence().workerCleanup, CleanupOutcome::forced);
  record_worker_cleanup(*shared, 0);
  EXPECT_EQ(evidence().workerCleanup, CleanupOutcome::forced);
}

TEST(SessionReportSnapshot, ElapsedTimeCountsFromTheSessionStart) {
  auto shared = make_session_shared(SessionId{}, 1.0f, std::chrono::steady_clock::now() - 2500ms);
  const std::uint64_t elapsed = snapshot_session_report(*shared).metrics.elapsedMs;
  EXPECT_GE(elapsed, 2500u);
  EXPECT_LT(elapsed, 3500u);
}

TEST_F(ReportFixture, FinalReportIsFrozen) {
  merge_stream_summary(*shared, {.packetsSent = 4});
  post_session_warning(*shared, WarningCode::retransmit_malformed, SessionStage::control, false);
  post_session_warning(*shared, WarningCode::retransmit_malformed, SessionStage::control, false);
  const SessionReport frozen = freeze_final_report(*shared);
  EXPECT_EQ(frozen.metrics.packetsSent, 4u);
  EXPECT_EQ(frozen.metrics.eventWarningOccurrencesCoalesced, 1u);

  std::this_thread::sleep_for(20ms);
  merge_stream_summary(*shared, {.packetsSent = 40});
  post_session_warning(*shared, WarningCode::retransmit_malformed, SessionStage::control, false);
  EXPECT_EQ(snapshot_session_report(*shared), frozen);
  EXPECT_EQ(freeze_final_report(*shared), frozen);
}

TEST_F(ReportFixture, MergesMarkMetricsDirtyUntilTheMailboxCloses) {
  SessionMailbox& mailbox = *shared->mailbox;
  merge_shutdown_metrics(*shared, {}, {}, 0);
  EXPECT_TRUE(mailbox.metrics_dirty.exchange(false));
  EXPECT_TRUE(mailbox.doorbell_receiver.try_recv().has_value());

  close_mailbox(mailbox, {});
  (void)mailbox.doorbell_receiver.try_recv();
  merge_stream_summary(*shared, {.packetsSent = 2});
  record_worker_cleanup(*shared, 1);
  EXPECT_FALSE(mailbox.metrics_dirty);
  EXPECT_FALSE(mailbox.doorbell_receiver.try_recv().has_value());
  EXPECT_EQ(metrics().packetsSent, 2u);  // the live report still changes
}

TEST_F(ReportFixture, DeadlineIsArmedOnceByWhicheverComesFirst) {
  const auto before = std::chrono::steady_clock::now();
  request_session_stop(*shared, false);
  const auto after = std::chrono::steady_clock::now();
  const Instant armed = shutdown_deadline(*shared);
  EXPECT_GE(armed, before + kShutdownGrace);
  EXPECT_LE(armed, after + kShutdownGrace);

  std::this_thread::sleep_for(20ms);
  request_session_stop(*shared, true);
  EXPECT_EQ(shutdown_deadline(*shared), armed);
  EXPECT_TRUE(shared->stop_requested);
  EXPECT_TRUE(shared->last_owner_dropped);

  auto other = make_session_shared(SessionId{}, 1.0f);
  const Instant first = shutdown_deadline(*other);
  request_session_stop(*other, false);
  EXPECT_EQ(shutdown_deadline(*other), first);
}

TEST_F(ReportFixture, ShutdownElapsedIsTheTimeSinceTheDeadlineWasArmed) {
  *shared->deadline.lock() = std::chrono::steady_clock::now() + kShutdownGrace - 4200ms;
  merge_shutdown_metrics(*shared, {.attempts = 2, .succeeded = 1, .rejected = 1},
                         {.requests = 3, .responses = 3}, 0);
  const SessionMetrics m = metrics();
  EXPECT_GE(m.shutdownElapsedMs, 4200u);
  EXPECT_LT(m.shutdownElapsedMs, 5200u);
  EXPECT_EQ(m.feedbackSent, 2u);
  EXPECT_EQ(m.timingResponses, 3u);
  EXPECT_EQ(m.shutdownForcedStages, 0u);

  // A deadline armed later than now + 10 s would be a negative time: it counts as 0, and the
  // recorded maximum stays.
  *shared->deadline.lock() = std::chrono::steady_clock::now() + kShutdownGrace + 1h;
  merge_shutdown_metrics(*shared, {}, {}, 5);
  EXPECT_GE(metrics().shutdownElapsedMs, 4200u);
  EXPECT_EQ(metrics().shutdownForcedStages, 5u);
  merge_shutdown_metrics(*shared, {}, {}, 2);
  EXPECT_EQ(metrics().shutdownForcedStages, 5u);
}

TEST_F(ReportFixture, MergeShutdownMetricsArmsAnAbsentDeadline) {
  merge_shutdown_metrics(*shared, {}, {}, 0);
  EXPECT_TRUE(shared->deadline.lock()->has_value());
  EXPECT_LT(metrics().shutdownElapsedMs, 1000u);
}

}  // namespace
}  // namespace kestrune::engine
