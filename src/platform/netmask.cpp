#include "platform/netmask.hpp"

namespace kestrune::platform {

std::uint8_t prefix_length_of_netmask(const IpAddress& netmask) {
  std::uint8_t length = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    const std::uint8_t byte = netmask.bytes[i];
    for (int bit = 7; bit >= 0; --bit) {
      if ((byte >> bit & 1) == 0) return length;
      ++length;
    }
  }
  return length;
}

IpAddress netmask_of_prefix(std::uint8_t prefix_length) {
  if (prefix_length == 0) return {};
  const unsigned bits = prefix_length > 32 ? 32u : prefix_length;
  return IpAddress::v4_of_value(~std::uint32_t{0} << (32 - bits));
}

}  // namespace kestrune::platform
