#include "engine/wire/audio_cipher.hpp"

#include <algorithm>

#include "engine/wire/byte_order.hpp"

namespace kestrune::engine {

support::Result<AudioSealTrailer> encrypt_audio_payload(AeadCipher& cipher, const AeadKey& key,
                                                        std::uint16_t sequence_number,
                                                        std::uint32_t timestamp, std::uint32_t ssrc,
                                                        std::span<std::uint8_t> payload) {
  AudioSealTrailer trailer{};
  // Little-endian 64-bit sequence number: low byte, high byte, then six zero bytes.
  trailer.nonce_tail[0] = static_cast<std::uint8_t>(sequence_number & 0xFF);
  trailer.nonce_tail[1] = static_cast<std::uint8_t>(sequence_number >> 8);
  AeadNonce nonce{};
  std::copy(trailer.nonce_tail.begin(), trailer.nonce_tail.end(), nonce.begin() + 4);
  std::array<std::uint8_t, 8> aad{};
  put_be32(aad, 0, timestamp);
  put_be32(aad, 4, ssrc);
  if (!cipher.seal(key, nonce, aad, payload, payload, trailer.tag)) {
    return support::fail("audio encryption failed");
  }
  return trailer;
}

}  // namespace kestrune::engine
