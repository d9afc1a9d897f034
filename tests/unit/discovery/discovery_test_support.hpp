#pragma once
// Shared by the discovery tests: readable failure output and the usual interface.

#include <ostream>

#include "discovery/dns_fault.hpp"
#include "discovery/address_rules.hpp"

namespace kestrune::discovery {

inline void PrintTo(DnsFault fault, std::ostream* out) { *out << describe_dns_fault(fault); }

// 192.168.1.10/24 with broadcast 192.168.1.255.
inline InterfaceRecord lan_interface(Ipv4Address address = {192, 168, 1, 10},
                                     std::uint8_t prefix_length = 24) {
  InterfaceRecord interface;
  interface.address = address;
  interface.prefix_length = prefix_length;
  interface.netmask = netmask_of_prefix(prefix_length);
  interface.broadcast_present = true;
  interface.broadcast = ipv4_from_value(ipv4_value(address) | ~ipv4_value(interface.netmask));
  return interface;
}

}  // namespace kestrune::discovery
