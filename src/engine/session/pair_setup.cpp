#include "engine/session/pair_setup.hpp"

#include <algorithm>
#include <functional>
#include <optional>

#include "engine/srp/srp_group.hpp"
#include "support/wipe.hpp"

namespace kestrune::engine {

namespace {

using support::fail;

std::span<const std::uint8_t> ascii(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::unexpected<PairSetupFailure> pairing_failure(support::Error error) {
  return std::unexpected(PairSetupFailure{PairSetupFailureKind::pairing, std::move(error)});
}

std::unexpected<PairSetupFailure> cancelled() {
  return std::unexpected(
      PairSetupFailure{PairSetupFailureKind::cancelled, support::Error("pair-setup cancelled")});
}

// One POST /pair-setup; its TLV8 answer when the status is 200. `while_waiting` runs once the
// request is written.
std::expected<std::vector<Tlv8Item>, PairSetupFailure> post_pair_setup(
    RtspConnection& connection, std::span<const std::uint8_t> body, std::string_view label,
    CancelSource stop, const std::function<void()>& while_waiting = {}) {
  auto response = connection.exchange_overlapped(
      "POST", "/pair-setup", {{"Content-Type", "application/octet-stream"}, {"X-Apple-HKP", "4"}},
      body, stop, while_waiting);
  if (!response) {
    if (stop.is_cancelled()) {
      return std::unexpected(
          PairSetupFailure{PairSetupFailureKind::cancelled, std::move(response).error()});
    }
    return pairing_failure(std::move(response).error());
  }
  if (auto ok = ensure_rtsp_ok(*response, label); !ok) return pairing_failure(ok.error());
  auto items = tlv8_decode(response->body);
  if (!items) return pairing_failure(items.error().to_error());
  return std::move(*items);
}

support::Status require_state(const std::vector<Tlv8Item>& items, std::uint8_t state,
                              std::string_view message) {
  auto value = require_tlv_item(items, tlv_type::kState, "State");
  if (!value) return fail(std::move(value).error());
  if (value->size() != 1 || (*value)[0] != state) return fail(std::string(message));
  return {};
}

}  // namespace

SrpSessionKey::~SrpSessionKey() { support::wipe(bytes); }

std::vector<std::uint8_t> pair_setup_m1_body() {
  return tlv8_encode({
      {tlv_type::kMethod, {0x00}},
      {tlv_type::kState, {0x01}},
      {tlv_type::kFlags, {0x10, 0x00, 0x00, 0x00}},  // transient pairing
  });
}

std::vector<std::uint8_t> pair_setup_m3_body(std::span<const std::uint8_t> padded_public,
                                             std::span<const std::uint8_t> client_proof) {
  return tlv8_encode({
      {tlv_type::kPublicKey, {padded_public.begin(), padded_public.end()}},
      {tlv_type::kProof, {client_proof.begin(), client_proof.end()}},
      {tlv_type::kState, {0x03}},
  });
}

support::Result<PairSetupM2> check_pair_setup_m2(const std::vector<Tlv8Item>& items) {
  if (auto error_item = check_pairing_error_item(items); !error_item) {
    return fail(error_item.error());
  }
  if (auto state = require_state(items, 0x02, "pairing M2 has wrong state"); !state) {
    return fail(state.error());
  }
  auto salt = require_tlv_item(items, tlv_type::kSalt, "Salt");
  if (!salt) return fail(std::move(salt).error());
  if (salt->size() != kSrpSaltSize) return fail("pairing M2 Salt must be 16 bytes");
  auto server_public = require_tlv_item(items, tlv_type::kPublicKey, "PublicKey");
  if (!server_public) return fail(std::move(server_public).error());
  if (server_public->size() > kSrpPaddedSize) {
    return fail("pairing M2 public key exceeds 384 bytes");
  }
  return PairSetupM2{{salt->begin(), salt->end()}, {server_public->begin(), server_public->end()}};
}

support::Status check_pair_setup_m4(const std::vector<Tlv8Item>& items, const SrpClient& client) {
  if (auto error_item = check_pairing_error_item(items); !error_item) {
    return fail(error_item.error());
  }
  if (auto state = require_state(items, 0x04, "pairing M4 has wrong state"); !state) {
    return fail(state.error());
  }
  auto proof = require_tlv_item(items, tlv_type::kProof, "Proof");
  if (!proof) return fail(std::move(proof).error());
  if (proof->size() != kSha512Size) return fail("pairing M4 Proof must be 64 bytes");
  return srp_verify_server_proof(client, *proof);
}

std::expected<SrpSessionKey, PairSetupFailure> pair_setup_transient(RtspConnection& connection,
                                                                    CancelSource stop) {
  // The client's private value and A = g^a need nothing from the receiver: they are made while
  // the receiver works on M1, so only the steps that need its salt and B follow M2.
  std::optional<support::Result<SrpClient>> client;
  auto m2_items = post_pair_setup(connection, pair_setup_m1_body(), "pair-setup M1", stop, [&] {
    client.emplace(srp_client_new(ascii(kPairSetupIdentity), ascii(kTransientPairingPin)));
  });
  if (!m2_items) return std::unexpected(std::move(m2_items).error());
  if (stop.is_cancelled()) return cancelled();
  auto m2 = check_pair_setup_m2(*m2_items);
  if (!m2) return pairing_failure(std::move(m2).error());

  if (!client) return pairing_failure(support::Error("SRP client was not made"));
  if (!*client) return pairing_failure(std::move(*client).error());
  auto challenge = srp_process_challenge(**client, m2->salt, m2->server_public);
  if (!challenge) return pairing_failure(std::move(challenge).error());
  auto padded_public = srp_pad((*client)->public_value());
  if (!padded_public) return pairing_failure(std::move(padded_public).error());

  auto m4_items =
      post_pair_setup(connection, pair_setup_m3_body(*padded_public, challenge->client_proof),
                      "pair-setup M3", stop);
  if (!m4_items) return std::unexpected(std::move(m4_items).error());
  if (auto m4 = check_pair_setup_m4(*m4_items, **client); !m4) return pairing_failure(m4.error());
  if (stop.is_cancelled()) return cancelled();

  SrpSessionKey key;
  std::copy(challenge->session_key.begin(), challenge->session_key.end(), key.bytes.begin());
  return key;
}

}  // namespace kestrune::engine
