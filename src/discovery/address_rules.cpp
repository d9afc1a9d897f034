#include "discovery/address_rules.hpp"

#include <cstdint>

#include "platform/netmask.hpp"

namespace kestrune::discovery {

bool is_subnet_broadcast(const platform::Ipv4InterfaceAddress& interface,
                         const platform::IpAddress& address) {
  if (!interface.broadcast || interface.prefix_length > 30) return false;
  if (address != *interface.broadcast) return false;
  if (interface.netmask != platform::netmask_of_prefix(interface.prefix_length)) return false;
  const std::uint32_t host_bits = ~interface.netmask.v4_value();
  return address.v4_value() == (interface.address.v4_value() | host_bits);
}

}  // namespace kestrune::discovery
