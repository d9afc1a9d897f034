#include "test-receiver/srp_server.hpp"

#include <openssl/rand.h>

#include <algorithm>

#include "engine/srp/srp_group.hpp"
#include "support/wipe.hpp"

namespace kestrune::test_receiver {

namespace {

using support::fail;

support::Error computation_failed() { return support::Error("SRP server computation failed"); }

}  // namespace

SrpServerResult::~SrpServerResult() {
  support::wipe(premaster);
  support::wipe(session_key);
}

support::Result<SrpServer> SrpServer::create(std::span<const std::uint8_t> identity,
                                             std::span<const std::uint8_t> password,
                                             std::span<const std::uint8_t> salt,
                                             std::span<const std::uint8_t> private_value) {
  SrpServer server;
  server.identity_.assign(identity.begin(), identity.end());
  server.salt_.assign(salt.begin(), salt.end());
  auto derived = engine::srp_compute_x_k(identity, password, salt);
  if (!derived) return fail(std::move(derived).error());
  engine::BigNumContext context = engine::big_number_context_new();
  server.verifier_ = engine::big_number_new();
  server.private_value_ = engine::big_number_from_bytes(private_value);
  server.public_value_ = engine::big_number_new();
  engine::BigNum g_to_b = engine::big_number_new();
  engine::BigNum k_times_v = engine::big_number_new();
  if (!context || !server.verifier_ || !server.private_value_ || !server.public_value_ || !g_to_b ||
      !k_times_v) {
    return fail(computation_failed());
  }
  if (auto made = engine::srp_mod_exp(server.verifier_.get(), engine::srp_generator(),
                                      derived->x.get(), context.get());
      !made) {
    return fail(made.error());
  }
  if (auto made = engine::srp_mod_exp(g_to_b.get(), engine::srp_generator(),
                                      server.private_value_.get(), context.get());
      !made) {
    return fail(made.error());
  }
  if (BN_mod_mul(k_times_v.get(), derived->k.get(), server.verifier_.get(), engine::srp_prime(),
                 context.get()) != 1 ||
      BN_mod_add(server.public_value_.get(), k_times_v.get(), g_to_b.get(), engine::srp_prime(),
                 context.get()) != 1) {
    return fail(computation_failed());
  }
  auto padded = engine::srp_pad(server.public_value_.get());
  if (!padded) return fail(std::move(padded).error());
  server.padded_public_ = std::move(*padded);
  return server;
}

support::Result<SrpServer> SrpServer::create_random(std::span<const std::uint8_t> identity,
                                                    std::span<const std::uint8_t> password) {
  std::array<std::uint8_t, 16> salt{};
  std::array<std::uint8_t, 32> private_value{};
  if (RAND_bytes(salt.data(), static_cast<int>(salt.size())) != 1 ||
      RAND_bytes(private_value.data(), static_cast<int>(private_value.size())) != 1) {
    return fail("random source failed while making the SRP server values");
  }
  auto server = create(identity, password, salt, private_value);
  support::wipe(private_value);
  return server;
}

support::Result<SrpServerResult> SrpServer::verify_client(
    std::span<const std::uint8_t> client_public, std::span<const std::uint8_t> client_proof) const {
  if (client_public.size() > engine::kSrpPaddedSize) return fail("client SRP public key too long");
  engine::BigNumContext context = engine::big_number_context_new();
  engine::BigNum a_value = engine::big_number_from_bytes(client_public);
  engine::BigNum reduced = engine::big_number_new();
  engine::BigNum v_to_u = engine::big_number_new();
  engine::BigNum base = engine::big_number_new();
  engine::BigNum shared = engine::big_number_new();
  if (!context || !a_value || !reduced || !v_to_u || !base || !shared ||
      BN_nnmod(reduced.get(), a_value.get(), engine::srp_prime(), context.get()) != 1) {
    return fail(computation_failed());
  }
  if (BN_is_zero(reduced.get())) return fail("invalid SRP client public key A mod N == 0");
  auto padded_a = engine::srp_pad(a_value.get());
  if (!padded_a) return fail(std::move(padded_a).error());
  engine::BigNum scrambler =
      engine::big_number_from_bytes(engine::sha512_parts({*padded_a, padded_public_}));
  if (!scrambler) return fail(computation_failed());

  // S = (A * v^u)^b mod N
  if (auto made =
          engine::srp_mod_exp(v_to_u.get(), verifier_.get(), scrambler.get(), context.get());
      !made) {
    return fail(made.error());
  }
  if (BN_mod_mul(base.get(), reduced.get(), v_to_u.get(), engine::srp_prime(), context.get()) !=
      1) {
    return fail(computation_failed());
  }
  if (auto made =
          engine::srp_mod_exp(shared.get(), base.get(), private_value_.get(), context.get());
      !made) {
    return fail(made.error());
  }
  auto padded_shared = engine::srp_pad(shared.get());
  if (!padded_shared) return fail(std::move(padded_shared).error());
  SrpServerResult result;
  result.session_key = engine::sha512_parts({*padded_shared});
  result.premaster = std::move(*padded_shared);
  const engine::Sha512Digest expected =
      engine::srp_client_proof(identity_, salt_, *padded_a, padded_public_, result.session_key);
  if (client_proof.size() != expected.size() ||
      !std::equal(expected.begin(), expected.end(), client_proof.begin())) {
    return fail("SRP client proof mismatch");
  }
  result.server_proof = engine::srp_server_proof(*padded_a, client_proof, result.session_key);
  return result;
}

}  // namespace kestrune::test_receiver
