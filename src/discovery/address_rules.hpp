#pragma once
// One usable IPv4 interface address of the host, as a browse pass opened a socket on it, and the
// subnet-broadcast rule that both the cache and the device view apply to received addresses.

#include <cstdint>

#include "discovery/ipv4_address.hpp"

namespace kestrune::discovery {

struct InterfaceRecord {
  bool broadcast_present = false;
  Ipv4Address broadcast{};  // meaningful only when broadcast_present
  Ipv4Address address{};    // never 0.0.0.0, never in 127.0.0.0/8
  Ipv4Address netmask{};
  std::uint8_t prefix_length = 0;
  friend bool operator==(const InterfaceRecord&, const InterfaceRecord&) = default;
};

// The netmask of a prefix length (0 gives 0.0.0.0; above 32 counts as 32).
Ipv4Address netmask_of_prefix(std::uint8_t prefix_length);

// True when address is the interface's own subnet broadcast: the interface reports a broadcast
// address, its prefix is at most 30, the address equals that broadcast address, the netmask
// matches the prefix, and the address is the interface address with every host bit set.
bool is_subnet_broadcast(const InterfaceRecord& interface, const Ipv4Address& address);

}  // namespace kestrune::discovery
