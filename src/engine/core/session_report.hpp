#pragma once
// What a session reports about itself: 29 metrics and the outcomes of its teardown. The rules here
// merge what the session learns into a report; each counter's source counts up from 0 and is
// merged repeatedly, so counters keep their maximum and a late or repeated merge never lowers one.
// The merges over a running session (under its metrics lock) are in session_report_merge.hpp.

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "engine/capture/capture_totals.hpp"
#include "engine/core/stream_summary.hpp"

namespace kestrune::engine {

// Declaration order is the order of the host's metrics object before it sorts its keys.
struct SessionMetrics {
  std::uint64_t elapsedMs = 0;  // filled by snapshots
  std::uint64_t captureCallbacks = 0;
  std::uint64_t captureChunks = 0;
  std::uint64_t captureFrames = 0;
  std::uint64_t captureQueueDrops = 0;
  std::uint64_t captureCallbackErrors = 0;
  double captureRms = 0.0;
  std::uint32_t captureMaxAbs = 0;
  std::uint64_t bufferOverflows = 0;  // from the stream summary
  std::uint64_t packetsPrepared = 0;
  std::uint64_t packetsSent = 0;
  std::uint64_t underrunSilencePackets = 0;
  std::uint64_t retransmitRequested = 0;
  std::uint64_t retransmitFulfilled = 0;
  std::uint64_t feedbackSent = 0;
  std::uint64_t feedbackSucceeded = 0;
  std::uint64_t feedbackRejected = 0;
  std::uint64_t feedbackTransportFailures = 0;
  std::uint64_t timingRequests = 0;
  std::uint64_t timingResponses = 0;
  std::uint64_t jitterP50Us = 0;
  std::uint64_t jitterP95Us = 0;
  std::uint64_t jitterP99Us = 0;
  std::uint64_t jitterMaxUs = 0;
  std::uint32_t shutdownForcedStages = 0;
  std::uint64_t shutdownElapsedMs = 0;
  std::uint64_t eventWarningOccurrencesCoalesced = 0;   // filled by snapshots
  std::uint64_t eventWarningOccurrencesOverflowed = 0;  // filled by snapshots
  std::uint64_t eventWarningKeyAdmissionFailures = 0;   // filled by snapshots

  friend bool operator==(const SessionMetrics&, const SessionMetrics&) = default;
};

// These two spell their enumerators as the host reads them (camelCase), unlike the tree's other
// enumerations.
enum class CleanupOutcome : std::uint8_t { notApplicable, completed, forced };

enum class RequestOutcome : std::uint8_t {
  notApplicable,
  succeeded,
  rejected,
  transportFailed,
  skippedControlPoisoned,
  deadlineExceeded,
};

inline constexpr std::array<std::string_view, 3> kCleanupOutcomeNames = {"notApplicable",
                                                                         "completed", "forced"};
inline constexpr std::array<std::string_view, 6> kRequestOutcomeNames = {
    "notApplicable",          "succeeded",       "rejected", "transportFailed",
    "skippedControlPoisoned", "deadlineExceeded"};

// The value's name from the tables above; a value no enumerator has is "unknown"
// (support/enum_names.hpp).
std::string_view wire_name(CleanupOutcome outcome);
std::string_view wire_name(RequestOutcome outcome);

struct ShutdownEvidence {
  CleanupOutcome workerCleanup = CleanupOutcome::notApplicable;
  CleanupOutcome socketCleanup = CleanupOutcome::notApplicable;
  RequestOutcome flushOutcome = RequestOutcome::notApplicable;
  RequestOutcome teardownOutcome = RequestOutcome::notApplicable;

  friend bool operator==(const ShutdownEvidence&, const ShutdownEvidence&) = default;
};

struct SessionReport {
  SessionMetrics metrics;
  ShutdownEvidence evidence;

  friend bool operator==(const SessionReport&, const SessionReport&) = default;
};

// The feedback worker's running totals: attempts, 2xx answers, other answers, transport failures.
struct FeedbackTotals {
  std::uint64_t attempts = 0;
  std::uint64_t succeeded = 0;
  std::uint64_t rejected = 0;
  std::uint64_t transportFailures = 0;
};

// The timing responder's running totals.
struct TimingTotals {
  std::uint64_t requests = 0;
  std::uint64_t responses = 0;
};

// The stream loops' once-a-second publication.
struct PeriodicMetricsUpdate {
  std::optional<CaptureTotals> capture;
  StreamSummary stream;
  FeedbackTotals feedback;
  TimingTotals timing;
};

// The rules, on a report value. Counters take the maximum; the three jitter percentiles and
// captureRms take the latest value; captureMaxAbs is the maximum with the new peak clamped to u32.
void apply_stream_summary(SessionMetrics& metrics, const StreamSummary& summary);
void apply_capture_totals(SessionMetrics& metrics, const CaptureTotals& capture);
void apply_feedback_totals(SessionMetrics& metrics, const FeedbackTotals& feedback);
void apply_timing_totals(SessionMetrics& metrics, const TimingTotals& timing);
void apply_periodic_update(SessionMetrics& metrics, const PeriodicMetricsUpdate& update);

// forced wins, then completed, then notApplicable.
CleanupOutcome merge_cleanup_outcome(CleanupOutcome stored, CleanupOutcome incoming);

// Forced stages are added (saturating at the u32 maximum); the two request outcomes are replaced;
// the two cleanup outcomes are merged with merge_cleanup_outcome.
void apply_shutdown_evidence(SessionReport& report, std::uint32_t forced_stages,
                             const ShutdownEvidence& evidence);

// a + b, staying at the u32 maximum instead of wrapping.
std::uint32_t saturating_add(std::uint32_t a, std::uint32_t b);

}  // namespace kestrune::engine
