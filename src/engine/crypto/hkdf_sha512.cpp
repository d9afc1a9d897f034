#include "engine/crypto/hkdf_sha512.hpp"

#include <openssl/core_names.h>
#include <openssl/kdf.h>
#include <openssl/params.h>

#include <memory>

namespace kestrune::engine {

namespace {

struct KdfDeleter {
  void operator()(EVP_KDF* kdf) const { EVP_KDF_free(kdf); }
  void operator()(EVP_KDF_CTX* context) const { EVP_KDF_CTX_free(context); }
};

// OSSL_PARAM takes non-const pointers even for inputs it only reads.
void* as_param(std::span<const std::uint8_t> bytes) {
  return const_cast<std::uint8_t*>(bytes.data());
}

}  // namespace

support::Status hkdf_sha512(std::span<const std::uint8_t> input_key,
                            std::span<const std::uint8_t> salt, std::span<const std::uint8_t> info,
                            std::span<std::uint8_t> output) {
  std::unique_ptr<EVP_KDF, KdfDeleter> kdf(EVP_KDF_fetch(nullptr, "HKDF", nullptr));
  if (!kdf) return support::fail("HKDF-SHA-512: HKDF is not available");
  std::unique_ptr<EVP_KDF_CTX, KdfDeleter> context(EVP_KDF_CTX_new(kdf.get()));
  if (!context) return support::fail("HKDF-SHA-512: cannot create the context");
  char digest[] = "SHA512";
  const OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, as_param(input_key), input_key.size()),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, as_param(salt), salt.size()),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, as_param(info), info.size()),
      OSSL_PARAM_construct_end(),
  };
  if (EVP_KDF_derive(context.get(), output.data(), output.size(), params) != 1) {
    return support::fail("HKDF-SHA-512: derivation failed");
  }
  return {};
}

}  // namespace kestrune::engine
