#include "engine/orchestration/metrics_publication.hpp"

#include "engine/core/session_report_merge.hpp"

namespace kestrune::engine {

bool publish_stream_metrics(MetricsPublication& publication, Instant now, SessionShared& shared,
                            const StreamStats& stats, const std::optional<CaptureTotals>& capture,
                            const FeedbackTotals& feedback, const TimingTotals& timing) {
  if (now < publication.next) return false;
  const auto late = now - publication.next;
  const auto whole_seconds =
      std::chrono::duration_cast<std::chrono::seconds>(late) / kMetricsPublicationInterval + 1;
  publication.next += kMetricsPublicationInterval * whole_seconds;

  PeriodicMetricsUpdate update;
  update.capture = capture;
  update.stream = summarize_stream_stats(stats);
  update.feedback = feedback;
  update.timing = timing;
  merge_periodic_metrics(shared, update);
  return true;
}

}  // namespace kestrune::engine
