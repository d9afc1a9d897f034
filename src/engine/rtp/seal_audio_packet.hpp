#pragma once
// Sealing one RTP audio packet with the sender's state: the packet's sequence number, marker and
// SSRC come from the state, its copy goes into the state's history.

#include <cstdint>
#include <span>
#include <vector>

#include "engine/rtp/rtp_sender_state.hpp"
#include "engine/wire/audio_packet.hpp"
#include "support/error.hpp"

namespace kestrune::engine {

// A full audio packet is exactly what a history slot holds.
static_assert(kAudioPayloadBytes + kAudioPacketOverheadBytes == kHistorySlotBytes);

// Seals `samples` (interleaved left, right) with the state's current sequence number into a new
// packet buffer, stores a copy in the history, then advances the sequence number (wrapping) and
// clears marker pending. On failure ("audio encryption failed") the state is unchanged.
support::Result<std::vector<std::uint8_t>> seal_audio_packet(RtpSenderState& state,
                                                             std::uint32_t timestamp,
                                                             std::span<const std::int16_t> samples);

}  // namespace kestrune::engine
