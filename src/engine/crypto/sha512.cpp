#include "engine/crypto/sha512.hpp"

#include <openssl/evp.h>

#include <memory>

#include "support/thread.hpp"

namespace kestrune::engine {

Sha512Digest sha512_parts(std::initializer_list<std::span<const std::uint8_t>> parts) {
  struct Free {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
  };
  std::unique_ptr<EVP_MD_CTX, Free> context(EVP_MD_CTX_new());
  bool ok = context && EVP_DigestInit_ex(context.get(), EVP_sha512(), nullptr) == 1;
  for (const auto part : parts) {
    ok = ok && EVP_DigestUpdate(context.get(), part.data(), part.size()) == 1;
  }
  Sha512Digest digest{};
  unsigned int size = 0;
  ok = ok && EVP_DigestFinal_ex(context.get(), digest.data(), &size) == 1 && size == kSha512Size;
  if (!ok) support::end_thread("SHA-512 failed in the crypto library");
  return digest;
}

}  // namespace kestrune::engine
