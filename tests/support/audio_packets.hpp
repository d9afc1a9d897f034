#pragma once
// The receiver's view of the audio a session sends: RTP audio packets opened with the session's
// audio key, sync packets read field by field, and a test signal whose samples are never zero, so
// that silence padding stands out.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "engine/crypto/chacha20_poly1305.hpp"

namespace kestrune::testing {

inline std::uint16_t be16(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint16_t>(bytes[at] << 8 | bytes[at + 1]);
}
inline std::uint32_t be32(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint32_t>(bytes[at]) << 24 |
         static_cast<std::uint32_t>(bytes[at + 1]) << 16 |
         static_cast<std::uint32_t>(bytes[at + 2]) << 8 | bytes[at + 3];
}

struct OpenedAudioPacket {
  std::uint8_t first_byte = 0;
  std::uint8_t marker_byte = 0;  // 0xE0 for a stream's first packet, else 0x60
  std::uint16_t sequence_number = 0;
  std::uint32_t timestamp = 0;
  std::uint32_t ssrc = 0;
  std::vector<std::int16_t> samples;  // interleaved left, right
};

// Checks the packet's layout and tag and decrypts its payload; nothing when either is wrong.
inline std::optional<OpenedAudioPacket> open_audio_packet(std::span<const std::uint8_t> packet,
                                                          const engine::AeadKey& key) {
  constexpr std::size_t kHeader = 12, kTag = 16, kNonceTail = 8;
  if (packet.size() < kHeader + kTag + kNonceTail) return std::nullopt;
  const std::size_t payload = packet.size() - kHeader - kTag - kNonceTail;
  if (payload % 4 != 0) return std::nullopt;
  engine::AeadNonce nonce{};
  for (std::size_t i = 0; i < kNonceTail; ++i) nonce[4 + i] = packet[kHeader + payload + kTag + i];
  engine::AeadTag tag{};
  for (std::size_t i = 0; i < kTag; ++i) tag[i] = packet[kHeader + payload + i];
  std::vector<std::uint8_t> plain(payload);
  if (!engine::chacha20_poly1305_open(key, nonce, packet.subspan(4, 8),
                                      packet.subspan(kHeader, payload), tag, plain)) {
    return std::nullopt;
  }
  OpenedAudioPacket opened;
  opened.first_byte = packet[0];
  opened.marker_byte = packet[1];
  opened.sequence_number = be16(packet, 2);
  opened.timestamp = be32(packet, 4);
  opened.ssrc = be32(packet, 8);
  for (std::size_t i = 0; i < payload; i += 2) {
    opened.samples.push_back(static_cast<std::int16_t>(plain[i] << 8 | plain[i + 1]));
  }
  // The nonce tail is the sequence number, little-endian, in eight bytes.
  if (nonce[4] != (opened.sequence_number & 0xFF) || nonce[5] != opened.sequence_number >> 8) {
    return std::nullopt;
  }
  return opened;
}

struct SyncPacketFields {
  std::uint8_t first_byte = 0;   // 0x90 for the first sync packet, else 0x80
  std::uint8_t marker_byte = 0;  // 0xD4
  std::uint16_t sequence_number = 0;
  std::uint32_t timestamp = 0;
  std::uint32_t timestamp_again = 0;
};

inline std::optional<SyncPacketFields> read_sync_packet(std::span<const std::uint8_t> packet) {
  if (packet.size() != 20) return std::nullopt;
  return SyncPacketFields{packet[0], packet[1], be16(packet, 2), be32(packet, 4), be32(packet, 16)};
}

// The answer to a retransmit request for `sequence_number`: a four-byte header (0x80, 0xD6, the
// sequence number) before the audio packet as it was first sent.
inline std::vector<std::uint8_t> retransmit_reply(std::uint16_t sequence_number,
                                                  std::span<const std::uint8_t> packet) {
  std::vector<std::uint8_t> reply = {0x80, 0xD6, static_cast<std::uint8_t>(sequence_number >> 8),
                                     static_cast<std::uint8_t>(sequence_number)};
  reply.insert(reply.end(), packet.begin(), packet.end());
  return reply;
}

// `frames` stereo frames of a signal with no zero sample: left counts 1 to 1000, right -1 to -997.
inline std::vector<std::int16_t> test_signal(std::size_t frames, std::size_t first_frame = 0) {
  std::vector<std::int16_t> samples;
  samples.reserve(frames * 2);
  for (std::size_t i = first_frame; i < first_frame + frames; ++i) {
    samples.push_back(static_cast<std::int16_t>(i % 1000 + 1));
    samples.push_back(static_cast<std::int16_t>(-static_cast<int>(i % 997) - 1));
  }
  return samples;
}

}  // namespace kestrune::testing
