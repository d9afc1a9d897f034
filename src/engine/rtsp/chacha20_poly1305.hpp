#pragma once
// ChaCha20-Poly1305 (RFC 8439) with the tag kept apart from the ciphertext.

#include <array>
#include <cstdint>
#include <span>

#include "support/error.hpp"

namespace kestrune::engine {

inline constexpr std::size_t kAeadKeySize = 32;
inline constexpr std::size_t kAeadNonceSize = 12;
inline constexpr std::size_t kAeadTagSize = 16;

using AeadKey = std::array<std::uint8_t, kAeadKeySize>;
using AeadNonce = std::array<std::uint8_t, kAeadNonceSize>;
using AeadTag = std::array<std::uint8_t, kAeadTagSize>;

// Encrypts `plaintext` into `ciphertext` (same size) and writes the tag over `aad` and the
// ciphertext into `tag`. Fails only when the crypto library does.
support::Status chacha20_poly1305_seal(const AeadKey& key, const AeadNonce& nonce,
                                       std::span<const std::uint8_t> aad,
                                       std::span<const std::uint8_t> plaintext,
                                       std::span<std::uint8_t> ciphertext, AeadTag& tag);

// Decrypts `ciphertext` into `plaintext` (same size) when `tag` verifies; false otherwise, and
// `plaintext` is then overwritten with zeros.
bool chacha20_poly1305_open(const AeadKey& key, const AeadNonce& nonce,
                            std::span<const std::uint8_t> aad,
                            std::span<const std::uint8_t> ciphertext, const AeadTag& tag,
                            std::span<std::uint8_t> plaintext);

}  // namespace kestrune::engine
