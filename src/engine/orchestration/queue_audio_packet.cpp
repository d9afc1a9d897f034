#include "engine/orchestration/queue_audio_packet.hpp"

#include <optional>
#include <utility>

#include "engine/rtp/seal_audio_packet.hpp"
#include "engine/wire/ntp_time.hpp"
#include "engine/wire/sync_packet.hpp"

namespace kestrune::engine {

SessionStatus queue_audio_packet(support::Sender<OutboundPacket>& packets, RtpSenderState& state,
                                 std::span<const std::int16_t> samples, std::uint32_t timestamp,
                                 std::atomic<std::uint64_t>& packets_prepared) {
  return queue_audio_packet_at(packets, state, samples, timestamp, packets_prepared,
                               current_ntp_time());
}

SessionStatus queue_audio_packet_at(support::Sender<OutboundPacket>& packets, RtpSenderState& state,
                                    std::span<const std::int16_t> samples, std::uint32_t timestamp,
                                    std::atomic<std::uint64_t>& packets_prepared,
                                    const support::Result<std::uint64_t>& ntp_now) {
  if (!ntp_now) {
    return std::unexpected(
        SessionError::of(SessionErrorKind::internal_error, SessionStage::timing));
  }

  std::optional<SyncPacket> sync;
  if (sync_due(state.first_sync_pending, state.last_sync, timestamp)) {
    sync = build_sync_packet(state.first_sync_pending, state.sync_sequence_number, timestamp,
                             *ntp_now);
    ++state.sync_sequence_number;
    state.first_sync_pending = false;
    state.last_sync = timestamp;
  }

  auto audio = seal_audio_packet(state, timestamp, samples);
  if (!audio) {
    return std::unexpected(
        SessionError{SessionErrorKind::stream_failed, SessionStage::stream_worker, false});
  }

  packets_prepared.fetch_add(1, std::memory_order_relaxed);
  if (!packets.send(OutboundPacket{std::move(*audio), sync})) {
    return std::unexpected(
        SessionError::of(SessionErrorKind::stream_failed, SessionStage::stream_worker));
  }
  return {};
}

}  // namespace kestrune::engine
