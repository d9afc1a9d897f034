#pragma once
// Shared by the discovery tests: readable failure output and the usual interface.

#include <ostream>

#include "discovery/dns_fault.hpp"
#include "platform/interface_addresses.hpp"
#include "platform/netmask.hpp"

namespace kestrune::discovery {

inline void PrintTo(DnsFault fault, std::ostream* out) { *out << describe_dns_fault(fault); }

// 192.168.1.10/24 with broadcast 192.168.1.255.
inline platform::Ipv4InterfaceAddress lan_interface(platform::IpAddress address = {192, 168, 1, 10},
                                                    std::uint8_t prefix_length = 24) {
  platform::Ipv4InterfaceAddress interface;
  interface.address = address;
  interface.prefix_length = prefix_length;
  interface.netmask = platform::netmask_of_prefix(prefix_length);
  interface.broadcast =
      platform::IpAddress::v4_of_value(address.v4_value() | ~interface.netmask.v4_value());
  return interface;
}

}  // namespace kestrune::discovery
