#pragma once
// The receiver's side of SRP-6a (3072-bit group, SHA-512): the verifier v = g^x from the identity,
// PIN and salt, the public value B = k*v + g^b, and the check of the client's proof that yields
// the session key K and the server proof M2.

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/crypto/big_number.hpp"
#include "engine/crypto/sha512.hpp"
#include "support/error.hpp"

namespace kestrune::test_receiver {

struct SrpServerResult {
  std::vector<std::uint8_t> premaster;  // PAD(S), 384 bytes: K = H(PAD(S))
  engine::Sha512Digest session_key{};   // K
  engine::Sha512Digest server_proof{};  // M2
  ~SrpServerResult();
  SrpServerResult() = default;
  SrpServerResult(const SrpServerResult&) = default;
  SrpServerResult& operator=(const SrpServerResult&) = default;
};

class SrpServer {
 public:
  // With a given salt (16 bytes) and private value b (32 bytes, big-endian).
  static support::Result<SrpServer> create(std::span<const std::uint8_t> identity,
                                           std::span<const std::uint8_t> password,
                                           std::span<const std::uint8_t> salt,
                                           std::span<const std::uint8_t> private_value);
  // With a random salt and private value.
  static support::Result<SrpServer> create_random(std::span<const std::uint8_t> identity,
                                                  std::span<const std::uint8_t> password);

  const std::vector<std::uint8_t>& salt() const { return salt_; }
  // PAD(B), 384 bytes.
  const std::vector<std::uint8_t>& padded_public_value() const { return padded_public_; }

  // Checks A (at most 384 bytes, A mod N != 0) and the client proof M1; K and M2 when it holds,
  // else "SRP client proof mismatch".
  support::Result<SrpServerResult> verify_client(std::span<const std::uint8_t> client_public,
                                                 std::span<const std::uint8_t> client_proof) const;

 private:
  SrpServer() = default;

  std::vector<std::uint8_t> identity_;
  std::vector<std::uint8_t> salt_;
  engine::BigNum verifier_;
  engine::BigNum private_value_;
  engine::BigNum public_value_;
  std::vector<std::uint8_t> padded_public_;
};

}  // namespace kestrune::test_receiver
