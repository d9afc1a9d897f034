#pragma once
// The client side of SRP-6a over the 3072-bit group with SHA-512: makes the public value A,
// turns the receiver's salt and public value B into the client proof M1 and the session key K,
// and checks the receiver's proof. The private value is used only in constant-time modular
// exponentiation; it, the password copy and the expected proof are wiped when the client is
// dropped. Calling order: new, process the challenge once, verify.

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/crypto/big_number.hpp"
#include "engine/crypto/sha512.hpp"
#include "support/error.hpp"

namespace kestrune::engine {

inline constexpr std::size_t kSrpPrivateValueSize = 32;
inline constexpr std::size_t kSrpSaltSize = 16;

// M1 and K; K is wiped when the result is dropped.
struct SrpChallengeResult {
  Sha512Digest client_proof{};
  Sha512Digest session_key{};

  SrpChallengeResult() = default;
  SrpChallengeResult(const SrpChallengeResult&) = default;
  SrpChallengeResult& operator=(const SrpChallengeResult&) = default;
  ~SrpChallengeResult();
};

class SrpClient {
 public:
  SrpClient(SrpClient&&) noexcept = default;
  SrpClient& operator=(SrpClient&&) noexcept = default;
  ~SrpClient();

  // A = g^a mod N.
  const BIGNUM* public_value() const { return public_value_.get(); }
  bool challenge_processed() const { return challenge_processed_; }

 private:
  SrpClient() = default;

  friend support::Result<SrpClient> srp_client_from_private_value(
      std::span<const std::uint8_t> identity, std::span<const std::uint8_t> password,
      std::span<const std::uint8_t, kSrpPrivateValueSize> private_value);
  friend support::Result<SrpChallengeResult> srp_process_challenge(
      SrpClient& client, std::span<const std::uint8_t> salt,
      std::span<const std::uint8_t> server_public);
  friend support::Status srp_verify_server_proof(const SrpClient& client,
                                                 std::span<const std::uint8_t> proof);

  std::vector<std::uint8_t> identity_;
  std::vector<std::uint8_t> password_;
  BigNum private_value_;
  BigNum public_value_;
  bool challenge_processed_ = false;
  Sha512Digest expected_server_proof_{};
};

// A client with a fresh private value: 32 bytes from the operating system's random source (a
// failure of that source ends the calling thread). Fails with "SRP private key must be positive".
support::Result<SrpClient> srp_client_new(std::span<const std::uint8_t> identity,
                                          std::span<const std::uint8_t> password);

// The same with a given private value (big-endian), for exchanges that must be reproducible.
support::Result<SrpClient> srp_client_from_private_value(
    std::span<const std::uint8_t> identity, std::span<const std::uint8_t> password,
    std::span<const std::uint8_t, kSrpPrivateValueSize> private_value);

// Checks the 16-byte salt and B (at most 384 bytes, B mod N != 0, u != 0), then computes M1, K
// and the proof the receiver must send back. A failure leaves the challenge unprocessed.
support::Result<SrpChallengeResult> srp_process_challenge(
    SrpClient& client, std::span<const std::uint8_t> salt,
    std::span<const std::uint8_t> server_public);

// Fails with "SRP challenge has not been processed" or "SRP server proof mismatch".
support::Status srp_verify_server_proof(const SrpClient& client,
                                        std::span<const std::uint8_t> proof);

}  // namespace kestrune::engine
