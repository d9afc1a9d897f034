#pragma once
// The SRP-6a parameters: the 3072-bit group of RFC 5054 (prime N of 384 bytes, generator 5),
// SHA-512 as the hash, and the padding of integers to the byte length of N.

#include <openssl/bn.h>

#include <cstdint>
#include <span>
#include <vector>

#include "engine/crypto/big_number.hpp"
#include "engine/crypto/sha512.hpp"
#include "support/error.hpp"

namespace kestrune::engine {

inline constexpr std::size_t kSrpPaddedSize = 384;
inline constexpr unsigned kSrpGenerator = 5;

// N and g; immutable, shared by every thread.
const BIGNUM* srp_prime();
const BIGNUM* srp_generator();

// The unsigned big-endian bytes of `value`, left-filled with zeros to 384 bytes (0 gives 384
// zeros). A value longer than 384 bytes fails with "SRP integer exceeds 384 bytes".
support::Result<std::vector<std::uint8_t>> srp_pad(const BIGNUM* value);

// x = H(salt | H(I | ":" | P)) and k = H(PAD(N) | PAD(g)), both as integers; x is marked for
// constant-time use.
struct SrpDerivedValues {
  BigNum x;
  BigNum k;
};
support::Result<SrpDerivedValues> srp_compute_x_k(std::span<const std::uint8_t> identity,
                                                  std::span<const std::uint8_t> password,
                                                  std::span<const std::uint8_t> salt);

// M1 = H(H(PAD(N)) xor H(g) | H(I) | salt | PAD(A) | PAD(B) | K), g hashed as its one byte here
// while k hashes it padded: both sides of the exchange compute it the same way.
Sha512Digest srp_client_proof(std::span<const std::uint8_t> identity,
                              std::span<const std::uint8_t> salt,
                              std::span<const std::uint8_t> padded_client_public,
                              std::span<const std::uint8_t> padded_server_public,
                              std::span<const std::uint8_t> session_key);
// M2 = H(PAD(A) | M1 | K).
Sha512Digest srp_server_proof(std::span<const std::uint8_t> padded_client_public,
                              std::span<const std::uint8_t> client_proof,
                              std::span<const std::uint8_t> session_key);

// base^exponent mod N in constant time (the exponent is always secret here).
support::Status srp_mod_exp(BIGNUM* result, const BIGNUM* base, BIGNUM* exponent, BN_CTX* context);

}  // namespace kestrune::engine
