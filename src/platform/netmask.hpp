#pragma once
// IPv4 netmasks and prefix lengths, both ways.

#include <cstdint>

#include "platform/ip_address.hpp"

namespace kestrune::platform {

// The number of leading one bits of an IPv4 netmask (255.255.255.0 gives 24, 255.0.255.0 gives 8).
std::uint8_t prefix_length_of_netmask(const IpAddress& netmask);

// The IPv4 netmask of a prefix length (0 gives 0.0.0.0; above 32 counts as 32).
IpAddress netmask_of_prefix(std::uint8_t prefix_length);

}  // namespace kestrune::platform
