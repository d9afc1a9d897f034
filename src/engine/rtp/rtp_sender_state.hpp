#pragma once
// The per-stream state of the audio packetiser, owned by the coordinator thread from the start of
// streaming to the end of the stream loop. Nothing resets it within a stream.

#include <cstdint>
#include <memory>
#include <optional>

#include "engine/crypto/chacha20_poly1305.hpp"
#include "engine/rtp/packet_history.hpp"

namespace kestrune::engine {

struct RtpSenderState {
  RtpSenderState(std::shared_ptr<PacketHistory> history, const AeadKey& audio_key);
  RtpSenderState(RtpSenderState&&) noexcept = default;
  RtpSenderState& operator=(RtpSenderState&&) noexcept = default;
  // Wipes the audio key.
  ~RtpSenderState();

  std::optional<std::uint32_t> last_sync;  // RTP timestamp of the last sync packet
  std::shared_ptr<PacketHistory> history;
  AeadKey audio_key;       // the key derived with the events salt (SETUP's "shk")
  std::uint32_t ssrc = 0;  // 0 for every stream
  std::uint16_t sequence_number = 0;
  std::uint16_t sync_sequence_number = 0;
  bool marker_pending = true;      // cleared by the first audio packet
  bool first_sync_pending = true;  // cleared by the first sync packet
  AeadCipher cipher;               // the stream's sealing context (see wire/audio_cipher.hpp)
};

}  // namespace kestrune::engine
