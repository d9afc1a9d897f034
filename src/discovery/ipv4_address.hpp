#pragma once
// IPv4 addresses as discovery sees them: four bytes in network order, ordered by numeric value.

#include <array>
#include <cstdint>
#include <string>

namespace kestrune::discovery {

using Ipv4Address = std::array<std::uint8_t, 4>;

// The address as a host-order number (10.0.0.2 < 10.0.0.9 < 192.168.1.1).
constexpr std::uint32_t ipv4_value(const Ipv4Address& address) {
  return std::uint32_t{address[0]} << 24 | std::uint32_t{address[1]} << 16 |
         std::uint32_t{address[2]} << 8 | std::uint32_t{address[3]};
}

constexpr Ipv4Address ipv4_from_value(std::uint32_t value) {
  return {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
          static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
}

// Dotted decimal, "192.168.1.10".
std::string ipv4_to_text(const Ipv4Address& address);

// An address no receiver can be reached at: 0.0.0.0, 255.255.255.255, 127.0.0.0/8 and
// 224.0.0.0/4. The rest of 240.0.0.0/4 stays usable.
constexpr bool is_unusable_address(const Ipv4Address& address) {
  const std::uint8_t first = address[0];
  const std::uint32_t value = ipv4_value(address);
  return value == 0 || value == 0xFFFFFFFFu || first == 127 || (first >= 224 && first <= 239);
}

}  // namespace kestrune::discovery
