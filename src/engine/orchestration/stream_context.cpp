#include "engine/orchestration/stream_context.hpp"

#include <chrono>

#include "engine/orchestration/queue_audio_packet.hpp"

namespace kestrune::engine {

namespace {

std::uint64_t load_or_zero(const std::shared_ptr<std::atomic<std::uint64_t>>& counter) {
  return counter ? counter->load(std::memory_order_relaxed) : 0;
}

}  // namespace

TimingTotals TimingCounters::totals() const {
  return {load_or_zero(requests), load_or_zero(replies)};
}

SessionStatus worker_failure_before_packet(StreamContext& context) {
  if (const SessionError stored = read_worker_failure(context.worker_failure); stored.is_error()) {
    return std::unexpected(stored);
  }
  if (context.feedback_failed->load(std::memory_order_acquire)) {
    return std::unexpected(
        SessionError::of(SessionErrorKind::control_poisoned, SessionStage::feedback));
  }
  return {};
}

void apply_volume_change(StreamContext& context) {
  // The generation is read before the volume: set_session_volume stores the volume first, so the
  // volume sent is at least as new as the generation remembered, and no change is lost.
  const std::uint64_t generation = context.shared.volume_generation.load(std::memory_order_acquire);
  if (generation == context.applied_volume_generation) return;
  const float volume = context.shared.volume.load(std::memory_order_relaxed);
  if (!context.send_volume(volume)) {
    post_session_warning(context.shared, WarningCode::optional_request_rejected,
                         SessionStage::set_volume, true);
  }
  context.applied_volume_generation = generation;
}

SessionStatus queue_stream_packet(StreamContext& context, std::span<const std::int16_t> samples,
                                  std::uint32_t timestamp) {
  return queue_audio_packet(context.packets, context.sender_state, samples, timestamp,
                            context.stats.packetsPrepared);
}

void offer_stream_metrics(StreamContext& context, const std::optional<CaptureTotals>& capture) {
  (void)publish_stream_metrics(context.metrics, std::chrono::steady_clock::now(), context.shared,
                               context.stats, capture, context.feedback->totals(),
                               context.timing.totals());
}

}  // namespace kestrune::engine
