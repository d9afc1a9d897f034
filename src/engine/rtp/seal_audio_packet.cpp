#include "engine/rtp/seal_audio_packet.hpp"

#include <algorithm>

#include "engine/wire/byte_order.hpp"
#include "engine/wire/sample_bytes.hpp"

namespace kestrune::engine {

support::Result<std::vector<std::uint8_t>> seal_audio_packet(
    RtpSenderState& state, std::uint32_t timestamp, std::span<const std::int16_t> samples) {
  const std::size_t payload_bytes = samples.size() * 2;
  // The one allocation of the packet: the buffer that travels to "rt-sender".
  std::vector<std::uint8_t> packet(payload_bytes + kAudioPacketOverheadBytes);
  const std::span<std::uint8_t> bytes(packet);
  bytes[0] = 0x80;
  bytes[1] = state.marker_pending ? 0xE0 : 0x60;
  put_be16(bytes, 2, state.sequence_number);
  put_be32(bytes, 4, timestamp);
  put_be32(bytes, 8, state.ssrc);
  const auto payload = bytes.subspan(kRtpHeaderBytes, payload_bytes);
  write_samples_be(samples, payload);
  auto trailer = encrypt_audio_payload(state.cipher, state.audio_key, state.sequence_number,
                                       timestamp, state.ssrc, payload);
  if (!trailer) return support::fail(std::move(trailer).error());
  std::ranges::copy(trailer->tag, bytes.begin() + kRtpHeaderBytes + payload_bytes);
  std::ranges::copy(trailer->nonce_tail,
                    bytes.begin() + kRtpHeaderBytes + payload_bytes + kAeadTagSize);
  state.history->store(state.sequence_number, packet);
  ++state.sequence_number;
  state.marker_pending = false;
  return packet;
}

}  // namespace kestrune::engine
