#include "test-receiver/pair_setup_responder.hpp"

#include <string_view>

#include "engine/session/pair_setup.hpp"
#include "engine/session/tlv8.hpp"

namespace kestrune::test_receiver {

namespace {

namespace tlv_type = engine::tlv_type;

std::span<const std::uint8_t> ascii(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

PairSetupResponder::Step error_step(std::uint8_t state, std::uint8_t code) {
  return {engine::tlv8_encode({{tlv_type::kState, {state}}, {tlv_type::kError, {code}}}), false};
}

std::optional<std::uint8_t> single_byte(const std::vector<engine::Tlv8Item>& items,
                                        std::uint8_t type) {
  auto value = engine::require_tlv_item(items, type, "item");
  if (!value || value->size() != 1) return std::nullopt;
  return (*value)[0];
}

}  // namespace

PairSetupResponder::PairSetupResponder(std::optional<SrpServer> server)
    : server_(std::move(server)) {}

PairSetupResponder::Step PairSetupResponder::handle(std::span<const std::uint8_t> request_body) {
  const auto items = engine::tlv8_decode(request_body);
  if (!items) return error_step(2, kPairingUnknownError);
  const auto state = single_byte(*items, tlv_type::kState);
  if (state == 1) return answer_m1(*items);
  if (state == 3) return answer_m3(*items);
  return error_step(static_cast<std::uint8_t>(state.value_or(0) + 1), kPairingUnknownError);
}

PairSetupResponder::Step PairSetupResponder::answer_m1(const std::vector<engine::Tlv8Item>& items) {
  const auto flags = engine::require_tlv_item(items, tlv_type::kFlags, "Flags");
  const bool transient = flags && flags->size() == 4 && ((*flags)[0] & 0x10) != 0;
  if (single_byte(items, tlv_type::kMethod) != 0 || !transient) {
    return error_step(2, kPairingUnknownError);
  }
  session_keys_.reset();
  if (!server_) {
    auto made = SrpServer::create_random(ascii(engine::kPairSetupIdentity),
                                         ascii(engine::kTransientPairingPin));
    if (!made) return error_step(2, kPairingUnknownError);
    server_.emplace(std::move(*made));
  }
  return {engine::tlv8_encode({
              {tlv_type::kSalt, server_->salt()},
              {tlv_type::kPublicKey, server_->padded_public_value()},
              {tlv_type::kState, {0x02}},
          }),
          false};
}

PairSetupResponder::Step PairSetupResponder::answer_m3(const std::vector<engine::Tlv8Item>& items) {
  if (!server_) return error_step(4, kPairingUnknownError);
  const auto client_public = engine::require_tlv_item(items, tlv_type::kPublicKey, "PublicKey");
  const auto client_proof = engine::require_tlv_item(items, tlv_type::kProof, "Proof");
  if (!client_public || !client_proof) return error_step(4, kPairingUnknownError);
  auto verified = server_->verify_client(*client_public, *client_proof);
  if (!verified) return error_step(4, kPairingAuthenticationError);
  auto keys = engine::derive_session_keys(verified->session_key);
  if (!keys) return error_step(4, kPairingUnknownError);
  session_keys_.emplace(*keys);
  const std::vector<std::uint8_t> proof(verified->server_proof.begin(),
                                        verified->server_proof.end());
  return {engine::tlv8_encode({{tlv_type::kProof, proof}, {tlv_type::kState, {0x04}}}), true};
}

}  // namespace kestrune::test_receiver
