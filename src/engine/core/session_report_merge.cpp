#include "engine/core/session_report_merge.hpp"

#include <algorithm>
#include <chrono>
#include <limits>

namespace kestrune::engine {

namespace {

template <class Rule>
void merge(SessionShared& shared, Rule rule) {
  {
    auto report = shared.live_report.lock();
    rule(*report);
  }
  mark_metrics_dirty(*shared.mailbox);
}

std::uint64_t whole_millis(std::chrono::steady_clock::duration d) {
  if (d <= std::chrono::steady_clock::duration::zero()) return 0;
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
}

}  // namespace

SessionReport snapshot_session_report(SessionShared& shared) {
  {
    auto frozen = shared.final_report.lock();
    if (frozen->has_value()) return **frozen;
  }
  SessionReport report = *shared.live_report.lock();
  const WarningCounters counters = read_warning_counters(*shared.mailbox);
  report.metrics.eventWarningOccurrencesCoalesced = counters.coalesced;
  report.metrics.eventWarningOccurrencesOverflowed = counters.overflowed;
  report.metrics.eventWarningKeyAdmissionFailures = counters.key_admission_failures;
  report.metrics.elapsedMs = whole_millis(std::chrono::steady_clock::now() - shared.start_time);
  return report;
}

SessionReport freeze_final_report(SessionShared& shared) {
  SessionReport report = snapshot_session_report(shared);
  auto frozen = shared.final_report.lock();
  if (!frozen->has_value()) *frozen = report;
  return **frozen;
}

void merge_stream_summary(SessionShared& shared, const StreamSummary& summary) {
  merge(shared, [&](SessionReport& r) { apply_stream_summary(r.metrics, summary); });
}

void merge_capture_metrics(SessionShared& shared, const CaptureTotals& capture) {
  merge(shared, [&](SessionReport& r) { apply_capture_totals(r.metrics, capture); });
}

void merge_periodic_metrics(SessionShared& shared, const PeriodicMetricsUpdate& update) {
  merge(shared, [&](SessionReport& r) { apply_periodic_update(r.metrics, update); });
}

void merge_shutdown_metrics(SessionShared& shared, const FeedbackTotals& feedback,
                            const TimingTotals& timing, std::uint32_t forced_total) {
  // The deadline is its arming instant + 10 s, so (now + 10 s) - deadline is the time since it
  // was armed.
  const Instant deadline = shutdown_deadline(shared);
  const std::uint64_t since_armed =
      whole_millis(std::chrono::steady_clock::now() + kShutdownGrace - deadline);
  merge(shared, [&](SessionReport& r) {
    apply_feedback_totals(r.metrics, feedback);
    apply_timing_totals(r.metrics, timing);
    r.metrics.shutdownElapsedMs = std::max(r.metrics.shutdownElapsedMs, since_armed);
    if (forced_total != 0) {
      r.metrics.shutdownForcedStages = std::max(r.metrics.shutdownForcedStages, forced_total);
    }
  });
}

void record_shutdown_evidence(SessionShared& shared, std::uint32_t forced_stages,
                              const ShutdownEvidence& evidence) {
  merge(shared, [&](SessionReport& r) { apply_shutdown_evidence(r, forced_stages, evidence); });
}

void add_forced_shutdown_stages(SessionShared& shared, std::uint32_t n) {
  merge(shared, [&](SessionReport& r) {
    r.metrics.shutdownForcedStages =
        saturating_add(r.metrics.shutdownForcedStages, std::max(n, 1u));
  });
}

void record_worker_cleanup(SessionShared& shared, std::uint32_t late_workers) {
  merge(shared, [&](SessionReport& r) {
    const bool forced = late_workers != 0 || r.evidence.workerCleanup == CleanupOutcome::forced;
    r.evidence.workerCleanup = forced ? CleanupOutcome::forced : CleanupOutcome::completed;
  });
}

}  // namespace kestrune::engine
