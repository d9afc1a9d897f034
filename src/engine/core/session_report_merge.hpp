#pragma once
// The running session's report: snapshots of it and the merges into it. Every merge takes the
// metrics lock, applies its rule (session_report.hpp), lets the lock go, and then, unless the
// mailbox is closed, marks the metrics dirty so the event pump sends a "metrics" event. Merges
// never fail and never wait for more than the lock. They all run on the coordinator thread.

#include <cstdint>

#include "engine/core/session_report.hpp"
#include "engine/core/session_shared.hpp"
#include "engine/core/stream_summary.hpp"

namespace kestrune::engine {

// The frozen final report once the coordinator stored it; before that a copy of the live report
// with elapsedMs (since the session's start) and the mailbox's three warning counters filled in.
SessionReport snapshot_session_report(SessionShared& shared);

// Takes the snapshot and stores it as the final report; every later snapshot returns it.
SessionReport freeze_final_report(SessionShared& shared);

void merge_stream_summary(SessionShared& shared, const StreamSummary& summary);
void merge_capture_metrics(SessionShared& shared, const CaptureTotals& capture);
void merge_periodic_metrics(SessionShared& shared, const PeriodicMetricsUpdate& update);

// The feedback and timing totals as maxima; shutdownElapsedMs raised to the time since the
// shutdown deadline was armed (arming it now if needed); shutdownForcedStages raised to
// `forced_total` when that is not 0.
void merge_shutdown_metrics(SessionShared& shared, const FeedbackTotals& feedback,
                            const TimingTotals& timing, std::uint32_t forced_total);

// See apply_shutdown_evidence.
void record_shutdown_evidence(SessionShared& shared, std::uint32_t forced_stages,
                              const ShutdownEvidence& evidence);

// Adds max(n, 1) forced stages, saturating.
void add_forced_shutdown_stages(SessionShared& shared, std::uint32_t n);

// workerCleanup becomes forced when `late_workers` is not 0 (a forced value stays), otherwise
// completed.
void record_worker_cleanup(SessionShared& shared, std::uint32_t late_workers);

}  // namespace kestrune::engine
