#pragma once
// The four 32-byte keys derived from the 64-byte SRP session key K with HKDF-SHA-512. The two
// control keys switch the RTSP connection to encrypted framing; the events key is the session's
// audio key (sent as "shk" in SETUP phase 2, seals every RTP payload); the pair-setup encrypt key
// is derived and not used. Every key is overwritten with zeros when the value is dropped.

#include <array>
#include <cstdint>
#include <span>

#include "engine/crypto/chacha20_poly1305.hpp"
#include "support/error.hpp"

namespace kestrune::engine {

inline constexpr std::size_t kSrpSessionKeySize = 64;

struct SessionKeys {
  AeadKey control_write_key{};
  AeadKey control_read_key{};
  AeadKey events_key{};
  AeadKey pair_setup_encrypt_key{};

  SessionKeys() = default;
  SessionKeys(const SessionKeys&) = default;
  SessionKeys& operator=(const SessionKeys&) = default;
  ~SessionKeys();
};

// Fails only when the crypto library does.
support::Result<SessionKeys> derive_session_keys(
    std::span<const std::uint8_t, kSrpSessionKeySize> session_key);

}  // namespace kestrune::engine
