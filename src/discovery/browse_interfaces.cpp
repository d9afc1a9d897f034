#include "discovery/browse_interfaces.hpp"

#include <algorithm>

namespace kestrune::discovery {

std::vector<platform::Ipv4InterfaceAddress> select_browse_interfaces(
    std::span<const platform::InterfaceAddress> host_addresses) {
  std::vector<platform::Ipv4InterfaceAddress> selected;
  for (const platform::InterfaceAddress& entry : host_addresses) {
    if (!entry.ipv4) continue;
    const platform::Ipv4InterfaceAddress& v4 = *entry.ipv4;
    if (v4.address.v4_value() == 0 || v4.address.bytes[0] == 127) continue;
    const bool seen = std::any_of(
        selected.begin(), selected.end(),
        [&](const platform::Ipv4InterfaceAddress& chosen) { return chosen.address == v4.address; });
    if (seen) continue;
    selected.push_back(v4);
  }
  return selected;
}

}  // namespace kestrune::discovery
