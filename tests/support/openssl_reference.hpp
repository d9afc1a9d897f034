#pragma once
// Independent uses of OpenSSL's primitives for checking sealed packets: the raw ChaCha20 key
// stream and an AEAD open.

#include <openssl/evp.h>

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kestrune::engine::testing {

// ChaCha20 key stream for (key, nonce) starting at `counter` (RFC 8439 block counter).
inline std::vector<std::uint8_t> chacha20_key_stream(std::span<const std::uint8_t, 32> key,
                                                     std::span<const std::uint8_t, 12> nonce,
                                                     std::uint32_t counter, std::size_t size) {
  // OpenSSL's raw ChaCha20 takes the 32-bit counter little-endian, then the 96-bit nonce.
  std::array<std::uint8_t, 16> iv{};
  for (int i = 0; i < 4; ++i) iv[i] = static_cast<std::uint8_t>(counter >> (8 * i));
  std::copy(nonce.begin(), nonce.end(), iv.begin() + 4);
  std::vector<std::uint8_t> zeros(size), stream(size);
  EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
  int written = 0;
  EVP_EncryptInit_ex2(context, EVP_chacha20(), key.data(), iv.data(), nullptr);
  EVP_EncryptUpdate(context, stream.data(), &written, zeros.data(), static_cast<int>(size));
  EVP_CIPHER_CTX_free(context);
  return stream;
}

// Opens ciphertext + tag; nothing when the tag does not verify.
inline std::optional<std::vector<std::uint8_t>> chacha20_poly1305_open(
    std::span<const std::uint8_t, 32> key, std::span<const std::uint8_t, 12> nonce,
    std::span<const std::uint8_t> aad, std::span<const std::uint8_t> ciphertext,
    std::span<const std::uint8_t, 16> tag) {
  std::vector<std::uint8_t> plain(ciphertext.size());
  std::array<std::uint8_t, 16> tag_copy{};
  std::copy(tag.begin(), tag.end(), tag_copy.begin());
  EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
  int written = 0;
  bool ok = EVP_DecryptInit_ex2(context, EVP_chacha20_poly1305(), key.data(), nonce.data(),
                                nullptr) == 1 &&
            EVP_DecryptUpdate(context, nullptr, &written, aad.data(),
                              static_cast<int>(aad.size())) == 1 &&
            EVP_DecryptUpdate(context, plain.data(), &written, ciphertext.data(),
                              static_cast<int>(ciphertext.size())) == 1 &&
            EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_AEAD_SET_TAG, 16, tag_copy.data()) == 1;
  int tail = 0;
  ok = ok && EVP_DecryptFinal_ex(context, plain.data() + written, &tail) == 1;
  EVP_CIPHER_CTX_free(context);
  if (!ok) return std::nullopt;
  return plain;
}

}  // namespace kestrune::engine::testing
