#pragma once
// RTP audio packets: a 12-byte header (0x80; 0xE0 for the first packet of a stream, else 0x60;
// sequence number, timestamp and SSRC, big-endian), the sealed payload, its 16-byte Poly1305 tag
// and the 8-byte nonce tail. 352 stereo frames give a 1408-byte payload and a 1444-byte packet.

#include <cstddef>
#include <cstdint>

#include "engine/wire/audio_cipher.hpp"

namespace kestrune::engine {

inline constexpr std::size_t kRtpHeaderBytes = 12;
inline constexpr std::size_t kAudioPacketOverheadBytes =
    kRtpHeaderBytes + kAeadTagSize + kAudioNonceTailBytes;
inline constexpr std::uint32_t kFramesPerPacket = 352;
inline constexpr std::size_t kSamplesPerPacket = 2 * kFramesPerPacket;
inline constexpr std::size_t kAudioPayloadBytes = 2 * kSamplesPerPacket;

}  // namespace kestrune::engine
