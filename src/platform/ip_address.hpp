#pragma once
// An IPv4 or IPv6 address as the host gave it (no port, no zone). IPv4 keeps its four bytes at the
// front of `bytes`.

#include <array>
#include <cstdint>

namespace kestrune::engine {

struct IpAddress {
  enum class Family : std::uint8_t { v4, v6 };

  Family family = Family::v4;
  std::array<std::uint8_t, 16> bytes{};

  static IpAddress v4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
    return {Family::v4, {a, b, c, d}};
  }
  static IpAddress v6(const std::array<std::uint8_t, 16>& octets) { return {Family::v6, octets}; }

  bool is_v4() const { return family == Family::v4; }
  bool is_v6() const { return family == Family::v6; }
  // ::1
  bool is_v6_loopback() const;
  // fe80::/10: first byte 0xFE, top two bits of the second byte 10.
  bool is_v6_link_local() const;

  friend bool operator==(const IpAddress&, const IpAddress&) = default;
};

}  // namespace kestrune::engine
