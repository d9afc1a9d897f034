#include "engine/core/session_report.hpp"

#include <algorithm>
#include <limits>

#include "support/enum_names.hpp"

namespace kestrune::engine {

namespace {

void raise(std::uint64_t& stored, std::uint64_t incoming) { stored = std::max(stored, incoming); }

}  // namespace

std::string_view wire_name(CleanupOutcome outcome) {
  return support::enum_name(kCleanupOutcomeNames, outcome);
}

std::string_view wire_name(RequestOutcome outcome) {
  return support::enum_name(kRequestOutcomeNames, outcome);
}

std::uint32_t saturating_add(std::uint32_t a, std::uint32_t b) {
  constexpr std::uint32_t kMax = std::numeric_limits<std::uint32_t>::max();
  return a > kMax - b ? kMax : a + b;
}

void apply_stream_summary(SessionMetrics& metrics, const StreamSummary& summary) {
  raise(metrics.packetsPrepared, summary.packetsPrepared);
  raise(metrics.packetsSent, summary.packetsSent);
  raise(metrics.underrunSilencePackets, summary.underrunSilencePackets);
  raise(metrics.retransmitRequested, summary.retransmitRequested);
  raise(metrics.retransmitFulfilled, summary.retransmitFulfilled);
  metrics.jitterP50Us = summary.jitterP50Us;
  metrics.jitterP95Us = summary.jitterP95Us;
  metrics.jitterP99Us = summary.jitterP99Us;
  raise(metrics.jitterMaxUs, summary.jitterMaxUs);
  raise(metrics.bufferOverflows, summary.bufferOverflows);
}

void apply_capture_totals(SessionMetrics& metrics, const CaptureTotals& capture) {
  raise(metrics.captureCallbacks, capture.callbacks);
  raise(metrics.captureChunks, capture.chunks);
  raise(metrics.captureFrames, capture.frames);
  raise(metrics.captureQueueDrops, capture.queueDrops);
  raise(metrics.captureCallbackErrors, capture.callbackErrors);
  metrics.captureRms = capture.rms;
  const auto peak = static_cast<std::uint32_t>(
      std::min<std::uint64_t>(capture.peak, std::numeric_limits<std::uint32_t>::max()));
  metrics.captureMaxAbs = std::max(metrics.captureMaxAbs, peak);
}

void apply_feedback_totals(SessionMetrics& metrics, const FeedbackTotals& feedback) {
  raise(metrics.feedbackSent, feedback.attempts);
  raise(metrics.feedbackSucceeded, feedback.succeeded);
  raise(metrics.feedbackRejected, feedback.rejected);
  raise(metrics.feedbackTransportFailures, feedback.transportFailures);
}

void apply_timing_totals(SessionMetrics& metrics, const TimingTotals& timing) {
  raise(metrics.timingRequests, timing.requests);
  raise(metrics.timingResponses, timing.responses);
}

void apply_periodic_update(SessionMetrics& metrics, const PeriodicMetricsUpdate& update) {
  apply_stream_summary(metrics, update.stream);
  if (update.capture) apply_capture_totals(metrics, *update.capture);
  apply_feedback_totals(metrics, update.feedback);
  apply_timing_totals(metrics, update.timing);
}

CleanupOutcome merge_cleanup_outcome(CleanupOutcome stored, CleanupOutcome incoming) {
  if (stored == CleanupOutcome::forced || incoming == CleanupOutcome::forced) {
    return CleanupOutcome::forced;
  }
  if (stored == CleanupOutcome::completed || incoming == CleanupOutcome::completed) {
    return CleanupOutcome::completed;
  }
  return CleanupOutcome::notApplicable;
}

void apply_shutdown_evidence(SessionReport& report, std::uint32_t forced_stages,
                             const ShutdownEvidence& evidence) {
  report.metrics.shutdownForcedStages =
      saturating_add(report.metrics.shutdownForcedStages, forced_stages);
  report.evidence.flushOutcome = evidence.flushOutcome;
  report.evidence.teardownOutcome = evidence.teardownOutcome;
  report.evidence.workerCleanup =
      merge_cleanup_outcome(report.evidence.workerCleanup, evidence.workerCleanup);
  report.evidence.socketCleanup =
      merge_cleanup_outcome(report.evidence.socketCleanup, evidence.socketCleanup);
}

}  // namespace kestrune::engine
