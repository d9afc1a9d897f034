#pragma once
// The host's interface addresses as the operating system lists them (getifaddrs): one entry per
// address, in the system's order, IPv4 entries with their netmask, prefix length and, when the
// interface has one, broadcast address. Discovery picks the addresses it browses on from this.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support/error.hpp"

namespace kestrune::platform {

struct Ipv4InterfaceAddress {
  std::array<std::uint8_t, 4> address{};
  std::array<std::uint8_t, 4> netmask{};
  std::optional<std::array<std::uint8_t, 4>> broadcast;  // only on broadcast-capable interfaces
  std::uint8_t prefix_length = 0;                        // the netmask's leading one bits
  friend bool operator==(const Ipv4InterfaceAddress&, const Ipv4InterfaceAddress&) = default;
};

struct InterfaceAddress {
  std::string interface_name;
  std::optional<Ipv4InterfaceAddress> ipv4;  // nothing for an IPv6 address
  friend bool operator==(const InterfaceAddress&, const InterfaceAddress&) = default;
};

// Every IPv4 and IPv6 address of every interface, whatever its state; the error when the list
// cannot be read.
support::Result<std::vector<InterfaceAddress>> list_interface_addresses();

// The number of leading one bits of a netmask (255.255.255.0 gives 24, 255.0.255.0 gives 8).
std::uint8_t prefix_length_of_netmask(const std::array<std::uint8_t, 4>& netmask);

}  // namespace kestrune::platform
