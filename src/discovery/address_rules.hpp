#pragma once
// Which received IPv4 addresses discovery keeps: none that no receiver can be reached at, and
// not the subnet broadcast of the interface address that received it. Both the cache and the
// device view apply these rules.

#include "platform/interface_addresses.hpp"
#include "platform/ip_address.hpp"

namespace kestrune::discovery {

// An IPv4 address no receiver can be reached at: 0.0.0.0, 255.255.255.255, 127.0.0.0/8 and
// 224.0.0.0/4. The rest of 240.0.0.0/4 stays usable.
constexpr bool is_unusable_address(const platform::IpAddress& address) {
  const std::uint8_t first = address.bytes[0];
  const std::uint32_t value = address.v4_value();
  return value == 0 || value == 0xFFFFFFFFu || first == 127 || (first >= 224 && first <= 239);
}

// True when address is the interface's own subnet broadcast: the interface reports a broadcast
// address, its prefix is at most 30, the address equals that broadcast address, the netmask
// matches the prefix, and the address is the interface address with every host bit set.
bool is_subnet_broadcast(const platform::Ipv4InterfaceAddress& interface,
                         const platform::IpAddress& address);

}  // namespace kestrune::discovery
