#include "discovery/browse_interfaces.hpp"

#include <algorithm>

namespace kestrune::discovery {

std::vector<InterfaceRecord> select_browse_interfaces(
    std::span<const platform::InterfaceAddress> host_addresses) {
  std::vector<InterfaceRecord> selected;
  for (const platform::InterfaceAddress& entry : host_addresses) {
    if (!entry.ipv4) continue;
    const platform::Ipv4InterfaceAddress& v4 = *entry.ipv4;
    if (ipv4_value(v4.address) == 0 || v4.address[0] == 127) continue;
    const bool seen = std::any_of(selected.begin(), selected.end(), [&](const InterfaceRecord& r) {
      return r.address == v4.address;
    });
    if (seen) continue;
    InterfaceRecord record;
    record.broadcast_present = v4.broadcast.has_value();
    record.broadcast = v4.broadcast.value_or(Ipv4Address{});
    record.address = v4.address;
    record.netmask = v4.netmask;
    record.prefix_length = v4.prefix_length;
    selected.push_back(record);
  }
  return selected;
}

}  // namespace kestrune::discovery
