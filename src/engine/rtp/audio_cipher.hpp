#pragma once
// ChaCha20-Poly1305 (RFC 8439, detached tag) for RTP audio payloads.
//
// AudioCipher owns one OpenSSL cipher context, made on first use and kept for the stream so that
// sealing a packet allocates nothing. The context holds key material only while one packet is
// sealed: after every seal, successful or not, it is re-keyed with an all-zero key and its
// Poly1305 key is derived afresh from that, so nothing derived from the audio key (the key, the
// packet's one-time key, the MAC state) stays in it; what stays is the last nonce and tag, both
// sent in the clear. OpenSSL clears the context when it is freed. One thread at a time uses it.

#include <array>
#include <cstdint>
#include <span>

#include "support/error.hpp"

typedef struct evp_cipher_ctx_st EVP_CIPHER_CTX;

namespace kestrune::engine {

using AudioKey = std::array<std::uint8_t, 32>;
inline constexpr std::size_t kAudioTagBytes = 16;
inline constexpr std::size_t kAudioNonceTailBytes = 8;

class AudioCipher {
 public:
  AudioCipher() = default;
  AudioCipher(AudioCipher&& other) noexcept;
  AudioCipher& operator=(AudioCipher&& other) noexcept;
  AudioCipher(const AudioCipher&) = delete;
  AudioCipher& operator=(const AudioCipher&) = delete;
  ~AudioCipher();

  // Encrypts `in_out` in place under (key, nonce, aad) and writes the tag.
  support::Status seal(const AudioKey& key, std::span<const std::uint8_t, 12> nonce,
                       std::span<const std::uint8_t> aad, std::span<std::uint8_t> in_out,
                       std::span<std::uint8_t, kAudioTagBytes> tag);

 private:
  bool seal_with_context(const AudioKey& key, std::span<const std::uint8_t, 12> nonce,
                         std::span<const std::uint8_t> aad, std::span<std::uint8_t> in_out,
                         std::span<std::uint8_t, kAudioTagBytes> tag);
  void scrub();

  EVP_CIPHER_CTX* context_ = nullptr;
};

struct AudioSealTrailer {
  std::array<std::uint8_t, kAudioTagBytes> tag;
  // The sequence number as an unsigned 64-bit little-endian value: nonce bytes 4 to 11.
  std::array<std::uint8_t, kAudioNonceTailBytes> nonce_tail;
};

// Seals one payload in place. The nonce is four zero bytes and the nonce tail; the additional
// authenticated data is the timestamp and the SSRC, big-endian (RTP header bytes 4 to 11).
// Fails with "audio encryption failed".
support::Result<AudioSealTrailer> encrypt_audio_payload(AudioCipher& cipher, const AudioKey& key,
                                                        std::uint16_t sequence_number,
                                                        std::uint32_t timestamp, std::uint32_t ssrc,
                                                        std::span<std::uint8_t> payload);

}  // namespace kestrune::engine
