#include "engine/srp/srp_client.hpp"

#include <openssl/rand.h>

#include <algorithm>

#include "engine/srp/srp_group.hpp"
#include "support/thread.hpp"
#include "support/wipe.hpp"

namespace kestrune::engine {

namespace {

using support::fail;

support::Error computation_failed() {
  return support::Error("SRP computation failed in the crypto library");
}

}  // namespace

SrpClient::~SrpClient() {
  support::wipe(password_);
  support::wipe(expected_server_proof_);
}

SrpChallengeResult::~SrpChallengeResult() { support::wipe(session_key); }

support::Result<SrpClient> srp_client_new(std::span<const std::uint8_t> identity,
                                          std::span<const std::uint8_t> password) {
  std::array<std::uint8_t, kSrpPrivateValueSize> private_value{};
  if (RAND_bytes(private_value.data(), static_cast<int>(private_value.size())) != 1) {
    support::end_thread("operating system random source failed while making the SRP private key");
  }
  auto client = srp_client_from_private_value(identity, password, private_value);
  support::wipe(private_value);
  return client;
}

support::Result<SrpClient> srp_client_from_private_value(
    std::span<const std::uint8_t> identity, std::span<const std::uint8_t> password,
    std::span<const std::uint8_t, kSrpPrivateValueSize> private_value) {
  SrpClient client;
  client.private_value_ = big_number_from_bytes(private_value);
  client.public_value_ = big_number_new();
  BigNumContext context = big_number_context_new();
  if (!client.private_value_ || !client.public_value_ || !context) {
    return fail(computation_failed());
  }
  if (BN_is_zero(client.private_value_.get())) return fail("SRP private key must be positive");
  if (auto made = srp_mod_exp(client.public_value_.get(), srp_generator(),
                              client.private_value_.get(), context.get());
      !made) {
    return fail(made.error());
  }
  client.identity_.assign(identity.begin(), identity.end());
  client.password_.assign(password.begin(), password.end());
  return client;
}

support::Result<SrpChallengeResult> srp_process_challenge(
    SrpClient& client, std::span<const std::uint8_t> salt,
    std::span<const std::uint8_t> server_public) {
  // Whatever an earlier call left, a failure of this one leaves nothing to verify against.
  client.challenge_processed_ = false;
  if (salt.size() != kSrpSaltSize) {
    return fail("pairing salt must be 16 bytes, got " + std::to_string(salt.size()));
  }
  if (server_public.size() > kSrpPaddedSize) {
    return fail("server SRP public key exceeds " + std::to_string(kSrpPaddedSize) + " bytes");
  }
  const BIGNUM* prime = srp_prime();
  const BIGNUM* generator = srp_generator();
  BigNumContext context = big_number_context_new();
  BigNum server_value = big_number_from_bytes(server_public);
  auto derived = srp_compute_x_k(client.identity_, client.password_, salt);
  if (!derived) return fail(std::move(derived).error());
  if (!context || !server_value) return fail(computation_failed());

  BigNum reduced = big_number_new();
  if (!reduced || BN_nnmod(reduced.get(), server_value.get(), prime, context.get()) != 1) {
    return fail(computation_failed());
  }
  if (BN_is_zero(reduced.get())) return fail("invalid SRP server public key B mod N == 0");

  auto padded_a = srp_pad(client.public_value_.get());
  auto padded_b = srp_pad(server_value.get());
  if (!padded_a) return fail(std::move(padded_a).error());
  if (!padded_b) return fail(std::move(padded_b).error());
  BigNum scrambler = big_number_from_bytes(sha512_parts({*padded_a, *padded_b}));
  if (!scrambler) return fail(computation_failed());
  if (BN_is_zero(scrambler.get())) return fail("invalid SRP scrambling parameter u == 0");

  // base = ((B + N) - (k * (g^x mod N) mod N)) mod N
  BigNum verifier = big_number_new();
  BigNum k_times_v = big_number_new();
  BigNum base = big_number_new();
  // exponent = (a + u * x) mod (N - 1)
  BigNum u_times_x = big_number_new();
  BigNum sum = big_number_new();
  BigNum order = big_number_new();
  BigNum exponent = big_number_new();
  BigNum shared = big_number_new();
  if (!verifier || !k_times_v || !base || !u_times_x || !sum || !order || !exponent || !shared) {
    return fail(computation_failed());
  }
  if (auto made = srp_mod_exp(verifier.get(), generator, derived->x.get(), context.get()); !made) {
    return fail(made.error());
  }
  const bool computed =
      BN_mod_mul(k_times_v.get(), derived->k.get(), verifier.get(), prime, context.get()) == 1 &&
      BN_add(base.get(), server_value.get(), prime) == 1 &&
      BN_sub(base.get(), base.get(), k_times_v.get()) == 1 &&
      BN_nnmod(base.get(), base.get(), prime, context.get()) == 1 &&
      BN_mul(u_times_x.get(), scrambler.get(), derived->x.get(), context.get()) == 1 &&
      BN_add(sum.get(), client.private_value_.get(), u_times_x.get()) == 1 &&
      BN_sub(order.get(), prime, BN_value_one()) == 1 &&
      BN_nnmod(exponent.get(), sum.get(), order.get(), context.get()) == 1;
  if (!computed) return fail(computation_failed());
  if (auto made = srp_mod_exp(shared.get(), base.get(), exponent.get(), context.get()); !made) {
    return fail(made.error());
  }

  auto padded_shared = srp_pad(shared.get());
  if (!padded_shared) return fail(computation_failed());
  SrpChallengeResult result;
  result.session_key = sha512_parts({*padded_shared});
  support::wipe(*padded_shared);
  result.client_proof =
      srp_client_proof(client.identity_, salt, *padded_a, *padded_b, result.session_key);
  client.expected_server_proof_ =
      srp_server_proof(*padded_a, result.client_proof, result.session_key);
  client.challenge_processed_ = true;
  return result;
}

support::Status srp_verify_server_proof(const SrpClient& client,
                                        std::span<const std::uint8_t> proof) {
  if (!client.challenge_processed_) return fail("SRP challenge has not been processed");
  if (proof.size() != kSha512Size ||
      !std::equal(proof.begin(), proof.end(), client.expected_server_proof_.begin())) {
    return fail("SRP server proof mismatch");
  }
  return {};
}

}  // namespace kestrune::engine
