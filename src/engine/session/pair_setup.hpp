#pragma once
// Transient pair-setup: four TLV8 messages (M1 to M4) in two POST /pair-setup requests on the
// still plain control connection, with SRP-6a proving knowledge of the fixed PIN on both sides.
// Nothing is stored; every session pairs again. The result is the 64-byte SRP session key K.

#include <array>
#include <cstdint>
#include <expected>
#include <span>
#include <string_view>
#include <vector>

#include "engine/rtsp/cancel_source.hpp"
#include "engine/rtsp/rtsp_connection.hpp"
#include "engine/session/tlv8.hpp"
#include "engine/srp/srp_client.hpp"
#include "support/error.hpp"

namespace kestrune::engine {

inline constexpr std::string_view kPairSetupIdentity = "Pair-Setup";
inline constexpr std::string_view kTransientPairingPin = "5271";

// The TLV8 item types of pair-setup.
namespace tlv_type {
inline constexpr std::uint8_t kMethod = 0;
inline constexpr std::uint8_t kSalt = 2;
inline constexpr std::uint8_t kPublicKey = 3;
inline constexpr std::uint8_t kProof = 4;
inline constexpr std::uint8_t kState = 6;
inline constexpr std::uint8_t kError = 7;
inline constexpr std::uint8_t kFlags = 19;
}  // namespace tlv_type

// K, wiped when dropped.
struct SrpSessionKey {
  std::array<std::uint8_t, 64> bytes{};

  SrpSessionKey() = default;
  SrpSessionKey(const SrpSessionKey&) = default;
  SrpSessionKey& operator=(const SrpSessionKey&) = default;
  ~SrpSessionKey();
};

// cancelled: a stop was requested (seen between the messages, or when an exchange failed);
// pairing: everything else, with its message as the error.
enum class PairSetupFailureKind { cancelled, pairing };
struct PairSetupFailure {
  PairSetupFailureKind kind;
  support::Error error;
};

// Runs M1 to M4 on `connection` (CSeq 2 and 3 of a fresh start), `stop` being the session's
// stop-requested flag. A failed exchange leaves the connection poisoned.
std::expected<SrpSessionKey, PairSetupFailure> pair_setup_transient(RtspConnection& connection,
                                                                    CancelSource stop);

// The steps, for whoever needs them one by one.
std::vector<std::uint8_t> pair_setup_m1_body();
std::vector<std::uint8_t> pair_setup_m3_body(std::span<const std::uint8_t> padded_public,
                                             std::span<const std::uint8_t> client_proof);

struct PairSetupM2 {
  std::vector<std::uint8_t> salt;           // 16 bytes
  std::vector<std::uint8_t> server_public;  // B, at most 384 bytes
};
// Error item, State 02, a 16-byte Salt, a PublicKey of at most 384 bytes, in this order.
support::Result<PairSetupM2> check_pair_setup_m2(const std::vector<Tlv8Item>& items);
// Error item, State 04, a 64-byte Proof that matches what the client expects, in this order.
support::Status check_pair_setup_m4(const std::vector<Tlv8Item>& items, const SrpClient& client);

}  // namespace kestrune::engine
