#include "engine/rtp/audio_cipher.hpp"

#include <openssl/evp.h>

#include <algorithm>
#include <limits>
#include <utility>

#include "engine/rtp/byte_order.hpp"

namespace kestrune::engine {

AudioCipher::AudioCipher(AudioCipher&& other) noexcept
    : context_(std::exchange(other.context_, nullptr)) {}

AudioCipher& AudioCipher::operator=(AudioCipher&& other) noexcept {
  if (this != &other) {
    EVP_CIPHER_CTX_free(context_);
    context_ = std::exchange(other.context_, nullptr);
  }
  return *this;
}

AudioCipher::~AudioCipher() { EVP_CIPHER_CTX_free(context_); }

support::Status AudioCipher::seal(const AudioKey& key, std::span<const std::uint8_t, 12> nonce,
                                  std::span<const std::uint8_t> aad, std::span<std::uint8_t> in_out,
                                  std::span<std::uint8_t, kAudioTagBytes> tag) {
  const bool sealed = seal_with_context(key, nonce, aad, in_out, tag);
  scrub();
  if (!sealed) return support::fail("audio encryption failed");
  return {};
}

bool AudioCipher::seal_with_context(const AudioKey& key, std::span<const std::uint8_t, 12> nonce,
                                    std::span<const std::uint8_t> aad,
                                    std::span<std::uint8_t> in_out,
                                    std::span<std::uint8_t, kAudioTagBytes> tag) {
  constexpr auto kMaxChunk = static_cast<std::size_t>(std::numeric_limits<int>::max());
  if (aad.size() > kMaxChunk || in_out.size() > kMaxChunk) return false;
  if (context_ == nullptr) {
    context_ = EVP_CIPHER_CTX_new();
    if (context_ == nullptr) return false;
    if (EVP_EncryptInit_ex2(context_, EVP_chacha20_poly1305(), nullptr, nullptr, nullptr) != 1) {
      EVP_CIPHER_CTX_free(std::exchange(context_, nullptr));
      return false;
    }
  }
  // Re-keying an initialised context reuses its state: no allocation per packet.
  if (EVP_EncryptInit_ex2(context_, nullptr, key.data(), nonce.data(), nullptr) != 1) return false;
  int written = 0;
  if (!aad.empty() && EVP_EncryptUpdate(context_, nullptr, &written, aad.data(),
                                        static_cast<int>(aad.size())) != 1) {
    return false;
  }
  int ciphertext = 0;
  if (!in_out.empty() && EVP_EncryptUpdate(context_, in_out.data(), &ciphertext, in_out.data(),
                                           static_cast<int>(in_out.size())) != 1) {
    return false;
  }
  int tail = 0;
  if (EVP_EncryptFinal_ex(context_, in_out.data() + ciphertext, &tail) != 1) return false;
  if (static_cast<std::size_t>(ciphertext + tail) != in_out.size()) return false;
  return EVP_CIPHER_CTX_ctrl(context_, EVP_CTRL_AEAD_GET_TAG, static_cast<int>(tag.size()),
                             tag.data()) == 1;
}

void AudioCipher::scrub() {
  if (context_ == nullptr) return;
  static constexpr std::array<std::uint8_t, 32> kZeroKey{};
  static constexpr std::uint8_t kZeroByte = 0;
  // What the packet just sealed left in the context: the audio key, and the packet's one-time
  // Poly1305 key in the key-stream buffer (the MAC state itself is cleared when the tag is made).
  // Re-keying with the all-zero key overwrites the first; one byte of AAD then makes OpenSSL derive
  // a Poly1305 key afresh, from the zero key, into that buffer, which overwrites the second. The
  // nonce stays (it is sent in the clear with every packet), and setting it would cost as much as
  // the rest. Should either step fail, the context is freed (OpenSSL clears it on free) and made
  // anew next time.
  int written = 0;
  if (EVP_EncryptInit_ex2(context_, nullptr, kZeroKey.data(), nullptr, nullptr) != 1 ||
      EVP_EncryptUpdate(context_, nullptr, &written, &kZeroByte, 1) != 1) {
    EVP_CIPHER_CTX_free(std::exchange(context_, nullptr));
  }
}

support::Result<AudioSealTrailer> encrypt_audio_payload(AudioCipher& cipher, const AudioKey& key,
                                                        std::uint16_t sequence_number,
                                                        std::uint32_t timestamp, std::uint32_t ssrc,
                                                        std::span<std::uint8_t> payload) {
  AudioSealTrailer trailer{};
  // Little-endian 64-bit sequence number: low byte, high byte, then six zero bytes.
  trailer.nonce_tail[0] = static_cast<std::uint8_t>(sequence_number & 0xFF);
  trailer.nonce_tail[1] = static_cast<std::uint8_t>(sequence_number >> 8);
  std::array<std::uint8_t, 12> nonce{};
  std::copy(trailer.nonce_tail.begin(), trailer.nonce_tail.end(), nonce.begin() + 4);
  std::array<std::uint8_t, 8> aad{};
  put_be32(aad, 0, timestamp);
  put_be32(aad, 4, ssrc);
  if (auto sealed = cipher.seal(key, nonce, aad, payload, trailer.tag); !sealed) {
    return support::fail(std::move(sealed).error());
  }
  return trailer;
}

}  // namespace kestrune::engine
