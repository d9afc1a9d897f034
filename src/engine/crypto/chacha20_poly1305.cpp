#include "engine/crypto/chacha20_poly1305.hpp"

#include <openssl/evp.h>

#include <limits>
#include <utility>

#include "engine/crypto/vector_registers.hpp"
#include "support/wipe.hpp"

namespace kestrune::engine {

namespace {

// OpenSSL takes int lengths; control frames and audio packets are far below that.
bool fits_int(std::size_t size) {
  return size <= static_cast<std::size_t>(std::numeric_limits<int>::max());
}

}  // namespace

AeadCipher::AeadCipher(AeadCipher&& other) noexcept
    : context_(std::exchange(other.context_, nullptr)) {}

AeadCipher& AeadCipher::operator=(AeadCipher&& other) noexcept {
  if (this != &other) {
    EVP_CIPHER_CTX_free(context_);
    context_ = std::exchange(other.context_, nullptr);
  }
  return *this;
}

AeadCipher::~AeadCipher() { EVP_CIPHER_CTX_free(context_); }

support::Status AeadCipher::seal(const AeadKey& key, const AeadNonce& nonce,
                                 std::span<const std::uint8_t> aad,
                                 std::span<const std::uint8_t> plaintext,
                                 std::span<std::uint8_t> ciphertext, AeadTag& tag) {
  if (ciphertext.size() != plaintext.size() || !fits_int(plaintext.size()) ||
      !fits_int(aad.size())) {
    return support::fail("ChaCha20-Poly1305 seal: buffer sizes do not fit");
  }
  const bool sealed = seal_with_context(key, nonce, aad, plaintext, ciphertext, tag);
  scrub();
  if (!sealed) return support::fail("ChaCha20-Poly1305 seal: encryption failed");
  return {};
}

bool AeadCipher::open(const AeadKey& key, const AeadNonce& nonce, std::span<const std::uint8_t> aad,
                      std::span<const std::uint8_t> ciphertext, const AeadTag& tag,
                      std::span<std::uint8_t> plaintext) {
  if (plaintext.size() != ciphertext.size() || !fits_int(ciphertext.size()) ||
      !fits_int(aad.size())) {
    return false;
  }
  const bool opened = open_with_context(key, nonce, aad, ciphertext, tag, plaintext);
  scrub();
  if (!opened) support::wipe_bytes(plaintext.data(), plaintext.size());
  return opened;
}

bool AeadCipher::ready() {
  if (context_ != nullptr) return true;
  context_ = EVP_CIPHER_CTX_new();
  if (context_ == nullptr) return false;
  if (EVP_EncryptInit_ex2(context_, EVP_chacha20_poly1305(), nullptr, nullptr, nullptr) != 1) {
    EVP_CIPHER_CTX_free(std::exchange(context_, nullptr));
    return false;
  }
  return true;
}

bool AeadCipher::seal_with_context(const AeadKey& key, const AeadNonce& nonce,
                                   std::span<const std::uint8_t> aad,
                                   std::span<const std::uint8_t> plaintext,
                                   std::span<std::uint8_t> ciphertext, AeadTag& tag) {
  if (!ready()) return false;
  // Re-keying an initialised context reuses its state: no allocation per message.
  if (EVP_EncryptInit_ex2(context_, nullptr, key.data(), nonce.data(), nullptr) != 1) return false;
  int written = 0;
  if (!aad.empty() && EVP_EncryptUpdate(context_, nullptr, &written, aad.data(),
                                        static_cast<int>(aad.size())) != 1) {
    return false;
  }
  int produced = 0;
  if (!plaintext.empty() &&
      EVP_EncryptUpdate(context_, ciphertext.data(), &produced, plaintext.data(),
                        static_cast<int>(plaintext.size())) != 1) {
    return false;
  }
  int tail = 0;
  const bool finished = EVP_EncryptFinal_ex(context_, ciphertext.data() + produced, &tail) == 1;
  // Making the tag leaves the vector registers' upper halves in use; see vector_registers.hpp.
  clear_upper_vector_registers();
  if (!finished) return false;
  if (static_cast<std::size_t>(produced + tail) != ciphertext.size()) return false;
  return EVP_CIPHER_CTX_ctrl(context_, EVP_CTRL_AEAD_GET_TAG, static_cast<int>(tag.size()),
                             tag.data()) == 1;
}

bool AeadCipher::open_with_context(const AeadKey& key, const AeadNonce& nonce,
                                   std::span<const std::uint8_t> aad,
                                   std::span<const std::uint8_t> ciphertext, const AeadTag& tag,
                                   std::span<std::uint8_t> plaintext) {
  if (!ready()) return false;
  if (EVP_DecryptInit_ex2(context_, nullptr, key.data(), nonce.data(), nullptr) != 1) return false;
  int written = 0;
  if (!aad.empty() && EVP_DecryptUpdate(context_, nullptr, &written, aad.data(),
                                        static_cast<int>(aad.size())) != 1) {
    return false;
  }
  int produced = 0;
  if (!ciphertext.empty() &&
      EVP_DecryptUpdate(context_, plaintext.data(), &produced, ciphertext.data(),
                        static_cast<int>(ciphertext.size())) != 1) {
    return false;
  }
  AeadTag expected = tag;  // OpenSSL wants a writable tag buffer
  if (EVP_CIPHER_CTX_ctrl(context_, EVP_CTRL_AEAD_SET_TAG, static_cast<int>(expected.size()),
                          expected.data()) != 1) {
    return false;
  }
  int tail = 0;
  const bool verified = EVP_DecryptFinal_ex(context_, plaintext.data() + produced, &tail) == 1;
  clear_upper_vector_registers();
  return verified;
}

void AeadCipher::scrub() {
  if (context_ == nullptr) return;
  static constexpr AeadKey kZeroKey{};
  static constexpr std::uint8_t kZeroByte = 0;
  // What the message just sealed or opened left in the context: the key, and the message's
  // one-time Poly1305 key in the key-stream buffer (the MAC state itself is cleared when the tag
  // is made or checked). Re-keying with the all-zero key overwrites the first; one byte of AAD
  // then makes OpenSSL derive a Poly1305 key afresh, from the zero key, into that buffer, which
  // overwrites the second. The nonce stays (it is sent in the clear with every message), and
  // setting it would cost as much as the rest. Should either step fail, the context is freed
  // (OpenSSL clears it on free) and made anew next time.
  int written = 0;
  if (EVP_EncryptInit_ex2(context_, nullptr, kZeroKey.data(), nullptr, nullptr) != 1 ||
      EVP_EncryptUpdate(context_, nullptr, &written, &kZeroByte, 1) != 1) {
    EVP_CIPHER_CTX_free(std::exchange(context_, nullptr));
  }
}

support::Status chacha20_poly1305_seal(const AeadKey& key, const AeadNonce& nonce,
                                       std::span<const std::uint8_t> aad,
                                       std::span<const std::uint8_t> plaintext,
                                       std::span<std::uint8_t> ciphertext, AeadTag& tag) {
  AeadCipher cipher;
  return cipher.seal(key, nonce, aad, plaintext, ciphertext, tag);
}

bool chacha20_poly1305_open(const AeadKey& key, const AeadNonce& nonce,
                            std::span<const std::uint8_t> aad,
                            std::span<const std::uint8_t> ciphertext, const AeadTag& tag,
                            std::span<std::uint8_t> plaintext) {
  AeadCipher cipher;
  return cipher.open(key, nonce, aad, ciphertext, tag, plaintext);
}

}  // namespace kestrune::engine
