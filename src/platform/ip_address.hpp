#pragma once
// An IPv4 or IPv6 address (no port, no zone): the one address value of the code base. An IPv4
// address keeps its four bytes, in network order, at the front of `bytes` and zeros behind them,
// so that equal addresses compare equal byte for byte. Addresses order by family (IPv4 first),
// then by numeric value (10.0.0.2 < 10.0.0.9 < 192.168.1.1).

#include <array>
#include <compare>
#include <cstdint>
#include <string>

namespace kestrune::platform {

struct IpAddress {
  enum class Family : std::uint8_t { v4, v6 };

  Family family = Family::v4;
  std::array<std::uint8_t, 16> bytes{};

  // 0.0.0.0
  constexpr IpAddress() = default;
  // a.b.c.d, so that {192, 168, 1, 10} reads as the address it is.
  constexpr IpAddress(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d)
      : bytes{a, b, c, d} {}

  static constexpr IpAddress v4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
    return {a, b, c, d};
  }
  static constexpr IpAddress v4(const std::array<std::uint8_t, 4>& octets) {
    return {octets[0], octets[1], octets[2], octets[3]};
  }
  // From the host-order number that v4_value gives.
  static constexpr IpAddress v4_of_value(std::uint32_t value) {
    return {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
            static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
  }
  static constexpr IpAddress v6(const std::array<std::uint8_t, 16>& octets) {
    IpAddress address;
    address.family = Family::v6;
    address.bytes = octets;
    return address;
  }

  constexpr bool is_v4() const { return family == Family::v4; }
  constexpr bool is_v6() const { return family == Family::v6; }

  // An IPv4 address as a host-order number (10.0.0.2 gives 0x0A000002); for IPv6 the first four
  // bytes.
  constexpr std::uint32_t v4_value() const {
    return std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 |
           std::uint32_t{bytes[2]} << 8 | std::uint32_t{bytes[3]};
  }

  // ::1
  bool is_v6_loopback() const;
  // fe80::/10: first byte 0xFE, top two bits of the second byte 10.
  bool is_v6_link_local() const;

  // Dotted decimal for IPv4 ("192.168.1.10"), the RFC 5952 form for IPv6 ("2001:db8::2").
  std::string to_string() const;

  friend constexpr bool operator==(const IpAddress&, const IpAddress&) = default;
  friend constexpr auto operator<=>(const IpAddress&, const IpAddress&) = default;
};

}  // namespace kestrune::platform
