#pragma once
// ChaCha20-Poly1305 (RFC 8439) with the tag kept apart from the ciphertext: the one AEAD of the
// control channel, the pairing messages and the audio payloads.
//
// AeadCipher owns one OpenSSL cipher context, made on first use and kept, so that a stream that
// seals packet after packet allocates nothing. The context holds key material only while one
// message is sealed or opened: after every call, successful or not, it is re-keyed with an
// all-zero key and its Poly1305 key is derived afresh from that, so nothing derived from the
// caller's key (the key, the message's one-time key, the MAC state) stays in it; what stays is the
// last nonce and tag, both sent in the clear. OpenSSL clears the context when it is freed. Every
// call also leaves the upper halves of the vector registers unused (vector_registers.hpp). One
// thread at a time uses an AeadCipher.

#include <array>
#include <cstdint>
#include <span>

#include "support/error.hpp"

typedef struct evp_cipher_ctx_st EVP_CIPHER_CTX;

namespace kestrune::engine {

inline constexpr std::size_t kAeadKeySize = 32;
inline constexpr std::size_t kAeadNonceSize = 12;
inline constexpr std::size_t kAeadTagSize = 16;

using AeadKey = std::array<std::uint8_t, kAeadKeySize>;
using AeadNonce = std::array<std::uint8_t, kAeadNonceSize>;
using AeadTag = std::array<std::uint8_t, kAeadTagSize>;

class AeadCipher {
 public:
  AeadCipher() = default;
  AeadCipher(AeadCipher&& other) noexcept;
  AeadCipher& operator=(AeadCipher&& other) noexcept;
  AeadCipher(const AeadCipher&) = delete;
  AeadCipher& operator=(const AeadCipher&) = delete;
  ~AeadCipher();

  // Encrypts `plaintext` into `ciphertext` (same size; the same buffer seals in place) and writes
  // the tag over `aad` and the ciphertext into `tag`. Fails only when the sizes differ or the
  // crypto library fails.
  support::Status seal(const AeadKey& key, const AeadNonce& nonce,
                       std::span<const std::uint8_t> aad, std::span<const std::uint8_t> plaintext,
                       std::span<std::uint8_t> ciphertext, AeadTag& tag);

  // Decrypts `ciphertext` into `plaintext` (same size; the same buffer opens in place) when `tag`
  // verifies; false otherwise, and `plaintext` is then overwritten with zeros.
  bool open(const AeadKey& key, const AeadNonce& nonce, std::span<const std::uint8_t> aad,
            std::span<const std::uint8_t> ciphertext, const AeadTag& tag,
            std::span<std::uint8_t> plaintext);

 private:
  bool ready();
  bool seal_with_context(const AeadKey& key, const AeadNonce& nonce,
                         std::span<const std::uint8_t> aad, std::span<const std::uint8_t> plaintext,
                         std::span<std::uint8_t> ciphertext, AeadTag& tag);
  bool open_with_context(const AeadKey& key, const AeadNonce& nonce,
                         std::span<const std::uint8_t> aad,
                         std::span<const std::uint8_t> ciphertext, const AeadTag& tag,
                         std::span<std::uint8_t> plaintext);
  void scrub();

  EVP_CIPHER_CTX* context_ = nullptr;
};

// One message on a context of its own (made and freed by the call), for the control channel and
// the pairing messages. Same contracts as AeadCipher::seal and AeadCipher::open.
support::Status chacha20_poly1305_seal(const AeadKey& key, const AeadNonce& nonce,
                                       std::span<const std::uint8_t> aad,
                                       std::span<const std::uint8_t> plaintext,
                                       std::span<std::uint8_t> ciphertext, AeadTag& tag);
bool chacha20_poly1305_open(const AeadKey& key, const AeadNonce& nonce,
                            std::span<const std::uint8_t> aad,
                            std::span<const std::uint8_t> ciphertext, const AeadTag& tag,
                            std::span<std::uint8_t> plaintext);

}  // namespace kestrune::engine
