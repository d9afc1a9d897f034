#include "engine/rtsp/session_keys.hpp"

#include <string_view>

#include "engine/crypto/hkdf_sha512.hpp"
#include "support/wipe.hpp"

namespace kestrune::engine {

namespace {

std::span<const std::uint8_t> ascii(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

support::Status derive_one(std::span<const std::uint8_t> session_key, std::string_view salt,
                           std::string_view info, AeadKey& key) {
  return hkdf_sha512(session_key, ascii(salt), ascii(info), key);
}

}  // namespace

SessionKeys::~SessionKeys() {
  support::wipe(control_write_key);
  support::wipe(control_read_key);
  support::wipe(events_key);
  support::wipe(pair_setup_encrypt_key);
}

support::Result<SessionKeys> derive_session_keys(
    std::span<const std::uint8_t, kSrpSessionKeySize> session_key) {
  SessionKeys keys;
  constexpr std::string_view kControlSalt = "Steer-Pepper";
  constexpr std::string_view kEventsSalt = "Relay-Spice";
  constexpr std::string_view kPairSetupSalt = "Link-Forge-Cipher-Grain";
  support::Status derived =
      derive_one(session_key, kControlSalt, "Control-Write-Encryption-Key", keys.control_write_key);
  if (derived) {
    derived =
        derive_one(session_key, kControlSalt, "Control-Read-Encryption-Key", keys.control_read_key);
  }
  if (derived) {
    derived = derive_one(session_key, kEventsSalt, "Events-Write-Encryption-Key", keys.events_key);
  }
  if (derived) {
    derived = derive_one(session_key, kPairSetupSalt, "Pair-Setup-Encrypt-Info",
                         keys.pair_setup_encrypt_key);
  }
  if (!derived) return support::fail_with_context(std::move(derived), "derive session keys");
  return keys;
}

}  // namespace kestrune::engine
