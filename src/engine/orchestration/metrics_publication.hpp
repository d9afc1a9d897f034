#pragma once
// The once-a-second publication of a stream's metrics while it plays. Both stream loops offer it
// after every packet; it merges one update into the session report when the publication instant
// has come and then moves the instant on by whole seconds past now, so a publication missed for
// several seconds (a stalled loop) happens once and the next one keeps to the second.

#include <chrono>
#include <optional>

#include "engine/core/session_report.hpp"
#include "engine/core/session_shared.hpp"
#include "engine/orchestration/stream_stats.hpp"

namespace kestrune::engine {

inline constexpr std::chrono::seconds kMetricsPublicationInterval{1};

// Owned by the runner, which sets `next` to 1 s after the session started playing.
struct MetricsPublication {
  Instant next{};
};

// Before `publication.next` nothing happens and false is returned. Otherwise `next` advances by
// whole seconds until it is after `now`, and merge_periodic_metrics gets the stream summary, the
// capture counters when given, and the feedback and timing totals; true.
bool publish_stream_metrics(MetricsPublication& publication, Instant now, SessionShared& shared,
                            const StreamStats& stats, const std::optional<CaptureTotals>& capture,
                            const FeedbackTotals& feedback, const TimingTotals& timing);

}  // namespace kestrune::engine
