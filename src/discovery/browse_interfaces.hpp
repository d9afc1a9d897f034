#pragma once
// Which host addresses a browse pass opens sockets on: the IPv4 entries, in the order the system
// lists them, whose address is neither 0.0.0.0 nor in 127.0.0.0/8, each address once (its first
// entry). Nothing else is looked at: not the interface's state, flags or link-local range.

#include <cstddef>
#include <span>
#include <vector>

#include "platform/interface_addresses.hpp"

namespace kestrune::discovery {

inline constexpr std::size_t kMaxBrowseInterfaces = 64;

std::vector<platform::Ipv4InterfaceAddress> select_browse_interfaces(
    std::span<const platform::InterfaceAddress> host_addresses);

}  // namespace kestrune::discovery
