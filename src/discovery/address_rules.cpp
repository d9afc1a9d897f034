#include "discovery/address_rules.hpp"

namespace kestrune::discovery {

Ipv4Address netmask_of_prefix(std::uint8_t prefix_length) {
  if (prefix_length == 0) return {};
  const unsigned bits = prefix_length > 32 ? 32u : prefix_length;
  return ipv4_from_value(~std::uint32_t{0} << (32 - bits));
}

bool is_subnet_broadcast(const InterfaceRecord& interface, const Ipv4Address& address) {
  if (!interface.broadcast_present || interface.prefix_length > 30) return false;
  if (address != interface.broadcast) return false;
  if (interface.netmask != netmask_of_prefix(interface.prefix_length)) return false;
  const std::uint32_t host_bits = ~ipv4_value(interface.netmask);
  return ipv4_value(address) == (ipv4_value(interface.address) | host_bits);
}

}  // namespace kestrune::discovery
