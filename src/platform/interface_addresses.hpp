#pragma once
// The host's interface addresses as the operating system lists them (getifaddrs): one entry per
// address, in the system's order, IPv4 entries with their netmask, prefix length and, when the
// interface has one, broadcast address. Discovery picks the addresses it browses on from this.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/ip_address.hpp"
#include "support/error.hpp"

namespace kestrune::platform {

// All three addresses are IPv4; netmask 0.0.0.0 when the system gives none.
struct Ipv4InterfaceAddress {
  IpAddress address;
  IpAddress netmask;
  std::optional<IpAddress> broadcast;  // only on broadcast-capable interfaces
  std::uint8_t prefix_length = 0;      // the netmask's leading one bits
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

}  // namespace kestrune::platform
