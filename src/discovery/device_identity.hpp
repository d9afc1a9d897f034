#pragma once
// A receiver's identity (its device id: 12 lower-case hexadecimal characters, no separators) and
// the stable id derived from it, which stays the same across passes, interfaces and runs.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kestrune::discovery {

inline constexpr std::size_t kIdentityLength = 12;
inline constexpr std::string_view kStableIdPrefix = "dev_";
inline constexpr std::string_view kIdentityTag = "tallowmere.discovery.device.v1";

// Every "-" and ":" removed.
std::string strip_id_separators(std::string_view text);

// The identity in text, or nothing: separators removed, ASCII letters lower-cased, then exactly
// 12 characters of 0-9 and a-f.
std::optional<std::string> normalize_device_id(std::string_view text);

// "dev_" and the lower-case hexadecimal SHA-256 of the tag, one zero byte and the identity.
std::string stable_device_id(std::string_view identity);

// The hexadecimal digit (0-9, a-f) for a value of 0 to 15.
char next_hex_digit(std::uint8_t nibble);

// Two lower-case hexadecimal digits per byte, high nibble first.
std::string hex_lower(std::span<const std::uint8_t> bytes);

}  // namespace kestrune::discovery
