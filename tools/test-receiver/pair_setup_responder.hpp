#pragma once
// The receiver's side of transient pair-setup: answers M1 with M2 (salt, B, state 2) and M3 with
// M4 (proof, state 4) or an error item, and once M4 has gone out holds the session keys the
// sender derives from the same K.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "engine/rtsp/session_keys.hpp"
#include "engine/session/tlv8.hpp"
#include "support/error.hpp"
#include "test-receiver/srp_server.hpp"

namespace kestrune::test_receiver {

// The TLV8 error code sent back for a proof that does not hold.
inline constexpr std::uint8_t kPairingAuthenticationError = 2;
// ... and for a message that is not what this step expects.
inline constexpr std::uint8_t kPairingUnknownError = 1;

class PairSetupResponder {
 public:
  // `server` fixes salt and B (a reproducible exchange); without it both are random.
  explicit PairSetupResponder(std::optional<SrpServer> server = std::nullopt);

  struct Step {
    std::vector<std::uint8_t> body;  // TLV8
    bool paired = false;             // M4 with a valid proof
  };
  // The answer to one POST /pair-setup body.
  Step handle(std::span<const std::uint8_t> request_body);

  // K, then the keys, from the moment M4 went out with a valid proof.
  const std::optional<engine::SessionKeys>& session_keys() const { return session_keys_; }

 private:
  Step answer_m1(const std::vector<engine::Tlv8Item>& items);
  Step answer_m3(const std::vector<engine::Tlv8Item>& items);

  std::optional<SrpServer> server_;
  std::optional<engine::SessionKeys> session_keys_;
};

}  // namespace kestrune::test_receiver
