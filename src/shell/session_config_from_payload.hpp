#pragma once
// The checks that turn a decoded start payload into the values of a session configuration and
// that need parsing: the address literals, the feature bits and a zero maximum duration; and the
// default buffer profile. Range checks of the finished configuration belong to the session core.
// Every failure is "The command payload is invalid."; all of this is pure.

#include <array>
#include <chrono>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "shell/payloads.hpp"
#include "shell/protocol_error.hpp"

namespace kestrune::shell {

inline constexpr std::size_t kMaxDeviceAddresses = 16;

// An IPv4 or IPv6 address in network byte order (IPv4 uses the first four bytes).
struct IpAddress {
  enum class Family { v4, v6 };
  Family family = Family::v4;
  std::array<std::uint8_t, 16> bytes{};

  friend bool operator==(const IpAddress&, const IpAddress&) = default;
};

// A whole string in the IPv4 dotted form (four parts 0-255, no leading zeros) or the RFC 4291
// IPv6 text form (optionally one "::", optionally an IPv4 tail); no brackets, zone or prefix.
std::optional<IpAddress> parse_address_literal(std::string_view text);

// Every entry parsed in order; nothing at the first entry that is not an address literal.
std::optional<std::vector<IpAddress>> parse_address_list(const std::vector<std::string>& texts);

// One optional "0x"/"0X" prefix, then one optional "+", then one or more hexadecimal digits whose
// value fits 64 bits (leading zeros do not count).
std::optional<std::uint64_t> parse_features_hex(std::string_view text);

// The buffer profile in the session's terms; the default when the host gives none.
struct BufferProfileSettings {
  std::uint32_t capacityMs = 150;
  std::uint8_t startFillPercent = 90;
  std::uint8_t refillPercent = 50;
  std::chrono::milliseconds startMaxWait{250};

  friend bool operator==(const BufferProfileSettings&, const BufferProfileSettings&) = default;
};

BufferProfileSettings buffer_profile_from_payload(
    const std::optional<BufferProfilePayload>& profile);

// What the start payload gives a session configuration once parsed, in the payload's order.
struct StartSessionSettings {
  std::vector<IpAddress> addresses;
  std::optional<std::uint64_t> featureBits;
  BufferProfileSettings bufferProfile;
  std::optional<std::chrono::milliseconds> maxDuration;
};

// In order: more than kMaxDeviceAddresses addresses, then each address, then featuresHex, then a
// maxDurationMs of 0; the first failure refuses the payload.
std::expected<StartSessionSettings, ProtocolError> start_session_settings_from_payload(
    const StartSessionPayload& payload);

}  // namespace kestrune::shell
