#include "engine/rtsp/chacha20_poly1305.hpp"

#include <openssl/evp.h>

#include <climits>
#include <memory>

#include "support/wipe.hpp"

namespace kestrune::engine {

namespace {

struct ContextDeleter {
  void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, ContextDeleter>;

// OpenSSL takes int lengths; control frames and audio packets are far below INT_MAX.
bool fits_int(std::size_t size) { return size <= static_cast<std::size_t>(INT_MAX); }

CipherContext start(const AeadKey& key, const AeadNonce& nonce, bool encrypt) {
  CipherContext context(EVP_CIPHER_CTX_new());
  if (!context) return nullptr;
  const int enc = encrypt ? 1 : 0;
  if (EVP_CipherInit_ex(context.get(), EVP_chacha20_poly1305(), nullptr, nullptr, nullptr, enc) !=
          1 ||
      EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_AEAD_SET_IVLEN, kAeadNonceSize, nullptr) != 1 ||
      EVP_CipherInit_ex(context.get(), nullptr, nullptr, key.data(), nonce.data(), enc) != 1) {
    return nullptr;
  }
  return context;
}

bool add_aad(EVP_CIPHER_CTX* context, std::span<const std::uint8_t> aad) {
  if (aad.empty()) return true;
  int produced = 0;
  return EVP_CipherUpdate(context, nullptr, &produced, aad.data(), static_cast<int>(aad.size())) ==
         1;
}

}  // namespace

support::Status chacha20_poly1305_seal(const AeadKey& key, const AeadNonce& nonce,
                                       std::span<const std::uint8_t> aad,
                                       std::span<const std::uint8_t> plaintext,
                                       std::span<std::uint8_t> ciphertext, AeadTag& tag) {
  if (ciphertext.size() != plaintext.size() || !fits_int(plaintext.size()) ||
      !fits_int(aad.size())) {
    return support::fail("ChaCha20-Poly1305 seal: buffer sizes do not fit");
  }
  CipherContext context = start(key, nonce, true);
  if (!context || !add_aad(context.get(), aad)) {
    return support::fail("ChaCha20-Poly1305 seal: cipher setup failed");
  }
  int produced = 0;
  if (!plaintext.empty() &&
      EVP_EncryptUpdate(context.get(), ciphertext.data(), &produced, plaintext.data(),
                        static_cast<int>(plaintext.size())) != 1) {
    return support::fail("ChaCha20-Poly1305 seal: encryption failed");
  }
  int final_bytes = 0;
  if (EVP_EncryptFinal_ex(context.get(), ciphertext.data() + produced, &final_bytes) != 1 ||
      EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_AEAD_GET_TAG, kAeadTagSize, tag.data()) != 1) {
    return support::fail("ChaCha20-Poly1305 seal: tag computation failed");
  }
  return {};
}

bool chacha20_poly1305_open(const AeadKey& key, const AeadNonce& nonce,
                            std::span<const std::uint8_t> aad,
                            std::span<const std::uint8_t> ciphertext, const AeadTag& tag,
                            std::span<std::uint8_t> plaintext) {
  if (plaintext.size() != ciphertext.size() || !fits_int(ciphertext.size()) ||
      !fits_int(aad.size())) {
    return false;
  }
  CipherContext context = start(key, nonce, false);
  if (!context || !add_aad(context.get(), aad)) return false;
  int produced = 0;
  AeadTag expected = tag;  // OpenSSL wants a writable tag buffer
  bool opened =
      (ciphertext.empty() ||
       EVP_DecryptUpdate(context.get(), plaintext.data(), &produced, ciphertext.data(),
                         static_cast<int>(ciphertext.size())) == 1) &&
      EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_AEAD_SET_TAG, kAeadTagSize, expected.data()) ==
          1;
  int final_bytes = 0;
  opened = opened && EVP_DecryptFinal_ex(context.get(), plaintext.data() + produced,
                                         &final_bytes) == 1;
  if (!opened) support::wipe_bytes(plaintext.data(), plaintext.size());
  return opened;
}

}  // namespace kestrune::engine
