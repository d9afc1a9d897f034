#pragma once
// From a decoded start payload to the session core's SessionConfig: the checks that need parsing
// (the address literals, the feature bits, a zero maximum duration) and the default buffer
// profile. Range checks of the finished configuration (names, port, volume, profile ranges, an
// empty address list) belong to the session core. Every failure is "The command payload is
// invalid."; all of this is pure.

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/engine.hpp"
#include "platform/ip_address.hpp"
#include "shell/payloads.hpp"
#include "shell/protocol_error.hpp"

namespace kestrune::shell {

inline constexpr std::size_t kMaxDeviceAddresses = 16;

// A whole string in the IPv4 dotted form (four parts 0-255, no leading zeros) or the RFC 4291
// IPv6 text form (optionally one "::", optionally an IPv4 tail); no brackets, zone or prefix.
std::optional<platform::IpAddress> parse_address_literal(std::string_view text);

// Every entry parsed in order; nothing at the first entry that is not an address literal.
std::optional<std::vector<platform::IpAddress>> parse_address_list(
    const std::vector<std::string>& texts);

// One optional "0x"/"0X" prefix, then one optional "+", then one or more hexadecimal digits whose
// value fits 64 bits (leading zeros do not count).
std::optional<std::uint64_t> parse_features_hex(std::string_view text);

// The given profile (startMaxWaitMs as a duration), or 150 ms / 90 % / 50 % / 250 ms.
engine::BufferProfile buffer_profile_from_payload(
    const std::optional<BufferProfilePayload>& profile);

// In order: more than kMaxDeviceAddresses addresses, then each address, then featuresHex, then a
// maxDurationMs of 0; the first failure refuses the payload. Strings are taken over unchanged.
std::expected<engine::SessionConfig, ProtocolError> session_config_from_payload(
    StartSessionPayload payload);

}  // namespace kestrune::shell
