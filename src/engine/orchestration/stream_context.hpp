#pragma once
// What both stream loops work with, lent to them by the runner for the loop's duration: the packet
// channel and the packetiser's state, the stream's counters, the session, the way to send a volume
// change, and the workers' failure signals. Also the checks and chores the two loops share.

#include <atomic>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>

#include "engine/core/session_error.hpp"
#include "engine/core/session_report.hpp"
#include "engine/core/session_shared.hpp"
#include "engine/core/session_state.hpp"
#include "engine/orchestration/metrics_publication.hpp"
#include "engine/orchestration/outbound_packet.hpp"
#include "engine/orchestration/stream_stats.hpp"
#include "engine/orchestration/worker_failure_slot.hpp"
#include "engine/rtp/rtp_sender_state.hpp"
#include "engine/session/feedback_worker.hpp"
#include "support/channel.hpp"
#include "support/error.hpp"

namespace kestrune::engine {

// How a stream loop ends: the reason streaming finished (end_of_stream, duration_elapsed or
// stop_requested), or the session's failure.
using StreamOutcome = SessionExpected<TransitionReason>;

// Sends one volume to the receiver while audio streams (send_volume_update in a session).
using VolumeSender = std::function<support::Status(float)>;

// The timing responder's two counters; absent counters read as 0.
struct TimingCounters {
  std::shared_ptr<std::atomic<std::uint64_t>> requests;
  std::shared_ptr<std::atomic<std::uint64_t>> replies;

  TimingTotals totals() const;
};

struct StreamContext {
  support::Sender<OutboundPacket>& packets;
  RtpSenderState& sender_state;
  StreamStats& stats;
  SessionShared& shared;
  VolumeSender send_volume;
  std::uint64_t& applied_volume_generation;                  // owned by the runner
  std::shared_ptr<const std::atomic<bool>> feedback_failed;  // never null
  std::shared_ptr<const FeedbackCounters> feedback;          // never null
  WorkerFailureSlot& worker_failure;
  TimingCounters timing;
  MetricsPublication& metrics;
};

// The failure that ends streaming before the next packet: the one "rt-control" stored, else
// control_poisoned at feedback when the feedback worker failed; success when there is none.
[[nodiscard]] SessionStatus worker_failure_before_packet(StreamContext& context);

// When the session's volume generation differs from the one last applied, sends the current
// volume; a failure only posts optional_request_rejected at set_volume (retryable). Either way the
// generation read becomes the applied one.
void apply_volume_change(StreamContext& context);

// queue_audio_packet with the stream's packetiser, channel and packetsPrepared counter.
[[nodiscard]] SessionStatus queue_stream_packet(StreamContext& context,
                                                std::span<const std::int16_t> samples,
                                                std::uint32_t timestamp);

// Offers the once-a-second publication with the given capture counters.
void offer_stream_metrics(StreamContext& context, const std::optional<CaptureTotals>& capture);

}  // namespace kestrune::engine
