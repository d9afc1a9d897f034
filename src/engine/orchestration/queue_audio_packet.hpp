#pragma once
// The stream loops' one call per packet: seal 352 frames, add the sync packet when one is due,
// and hand both to "rt-sender" through the packet channel. The channel holds 8 packets, so the
// blocking hand-off is what paces the stream loops.

#include <atomic>
#include <cstdint>
#include <span>

#include "engine/core/session_error.hpp"
#include "engine/orchestration/outbound_packet.hpp"
#include "engine/rtp/rtp_sender_state.hpp"
#include "support/channel.hpp"
#include "support/error.hpp"

namespace kestrune::engine {

// In this order: reads the wall clock in NTP form (failure: internal_error at timing, nothing
// changes); builds the sync packet if one is due and advances the sync state; seals the audio
// packet (failure: stream_failed at stream_worker, not retryable, the sync packet discarded);
// adds 1 to `packets_prepared` (the stream's packetsPrepared); sends the pair, waiting while the
// channel is full (a closed channel: stream_failed at stream_worker, retryable).
[[nodiscard]] SessionStatus queue_audio_packet(support::Sender<OutboundPacket>& packets,
                                               RtpSenderState& state,
                                               std::span<const std::int16_t> samples,
                                               std::uint32_t timestamp,
                                               std::atomic<std::uint64_t>& packets_prepared);

// The same with the wall-clock reading given instead of read.
[[nodiscard]] SessionStatus queue_audio_packet_at(support::Sender<OutboundPacket>& packets,
                                                  RtpSenderState& state,
                                                  std::span<const std::int16_t> samples,
                                                  std::uint32_t timestamp,
                                                  std::atomic<std::uint64_t>& packets_prepared,
                                                  const support::Result<std::uint64_t>& ntp_now);

}  // namespace kestrune::engine
