#pragma once
// Sealing of RTP audio payloads: ChaCha20-Poly1305 with a detached tag, on the stream's reusable
// AeadCipher (see engine/crypto/chacha20_poly1305.hpp for what the context keeps between packets).

#include <array>
#include <cstdint>
#include <span>

#include "engine/crypto/chacha20_poly1305.hpp"
#include "support/error.hpp"

namespace kestrune::engine {

inline constexpr std::size_t kAudioNonceTailBytes = 8;

struct AudioSealTrailer {
  AeadTag tag;
  // The sequence number as an unsigned 64-bit little-endian value: nonce bytes 4 to 11.
  std::array<std::uint8_t, kAudioNonceTailBytes> nonce_tail;
};

// Seals one payload in place. The nonce is four zero bytes and the nonce tail; the additional
// authenticated data is the timestamp and the SSRC, big-endian (RTP header bytes 4 to 11).
// Fails with "audio encryption failed".
support::Result<AudioSealTrailer> encrypt_audio_payload(AeadCipher& cipher, const AeadKey& key,
                                                        std::uint16_t sequence_number,
                                                        std::uint32_t timestamp, std::uint32_t ssrc,
                                                        std::span<std::uint8_t> payload);

}  // namespace kestrune::engine
