#include "engine/srp/srp_group.hpp"

#include <algorithm>

#include "support/thread.hpp"
#include "support/wipe.hpp"

namespace kestrune::engine {

namespace {

struct Group {
  BIGNUM* prime;
  BIGNUM* generator;
};

const Group& group() {
  // RFC 5054's 3072-bit group uses the 3072-bit MODP prime of RFC 3526, which OpenSSL carries.
  static const Group value = [] {
    Group made{BN_get_rfc3526_prime_3072(nullptr), BN_new()};
    if (made.prime == nullptr || made.generator == nullptr ||
        BN_set_word(made.generator, kSrpGenerator) != 1) {
      support::end_thread("SRP group parameters could not be created");
    }
    return made;
  }();
  return value;
}

}  // namespace

const BIGNUM* srp_prime() { return group().prime; }
const BIGNUM* srp_generator() { return group().generator; }

support::Result<std::vector<std::uint8_t>> srp_pad(const BIGNUM* value) {
  if (BN_num_bytes(value) > static_cast<int>(kSrpPaddedSize)) {
    return support::fail("SRP integer exceeds " + std::to_string(kSrpPaddedSize) + " bytes");
  }
  std::vector<std::uint8_t> padded(kSrpPaddedSize);
  if (BN_bn2binpad(value, padded.data(), static_cast<int>(kSrpPaddedSize)) < 0) {
    return support::fail("SRP integer could not be written");
  }
  return padded;
}

support::Result<SrpDerivedValues> srp_compute_x_k(std::span<const std::uint8_t> identity,
                                                  std::span<const std::uint8_t> password,
                                                  std::span<const std::uint8_t> salt) {
  const std::uint8_t colon = ':';
  Sha512Digest inner = sha512_parts({identity, std::span(&colon, 1), password});
  Sha512Digest outer = sha512_parts({salt, inner});
  SrpDerivedValues values{big_number_from_bytes(outer), nullptr};
  support::wipe(inner);
  support::wipe(outer);

  auto padded_prime = srp_pad(srp_prime());
  auto padded_generator = srp_pad(srp_generator());
  if (!padded_prime || !padded_generator) return support::fail("SRP group could not be padded");
  const Sha512Digest k = sha512_parts({*padded_prime, *padded_generator});
  values.k = big_number_from_bytes(k);
  if (!values.x || !values.k) return support::fail("SRP x and k could not be computed");
  BN_set_flags(values.x.get(), BN_FLG_CONSTTIME);
  return values;
}

Sha512Digest srp_client_proof(std::span<const std::uint8_t> identity,
                              std::span<const std::uint8_t> salt,
                              std::span<const std::uint8_t> padded_client_public,
                              std::span<const std::uint8_t> padded_server_public,
                              std::span<const std::uint8_t> session_key) {
  std::vector<std::uint8_t> padded_prime(kSrpPaddedSize);
  BN_bn2binpad(srp_prime(), padded_prime.data(), static_cast<int>(kSrpPaddedSize));
  const std::uint8_t generator_byte = static_cast<std::uint8_t>(kSrpGenerator);
  Sha512Digest group_hash = sha512_parts({padded_prime});
  const Sha512Digest generator_hash = sha512_parts({std::span(&generator_byte, 1)});
  std::transform(group_hash.begin(), group_hash.end(), generator_hash.begin(), group_hash.begin(),
                 [](std::uint8_t a, std::uint8_t b) { return static_cast<std::uint8_t>(a ^ b); });
  const Sha512Digest identity_hash = sha512_parts({identity});
  return sha512_parts(
      {group_hash, identity_hash, salt, padded_client_public, padded_server_public, session_key});
}

Sha512Digest srp_server_proof(std::span<const std::uint8_t> padded_client_public,
                              std::span<const std::uint8_t> client_proof,
                              std::span<const std::uint8_t> session_key) {
  return sha512_parts({padded_client_public, client_proof, session_key});
}

support::Status srp_mod_exp(BIGNUM* result, const BIGNUM* base, BIGNUM* exponent, BN_CTX* context) {
  BN_set_flags(exponent, BN_FLG_CONSTTIME);
  if (BN_mod_exp_mont_consttime(result, base, exponent, srp_prime(), context, nullptr) != 1) {
    return support::fail("SRP modular exponentiation failed");
  }
  return {};
}

}  // namespace kestrune::engine
