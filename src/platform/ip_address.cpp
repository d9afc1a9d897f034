#include "platform/ip_address.hpp"

namespace kestrune::engine {

bool IpAddress::is_v6_loopback() const {
  if (!is_v6()) return false;
  for (std::size_t i = 0; i + 1 < bytes.size(); ++i) {
    if (bytes[i] != 0) return false;
  }
  return bytes[15] == 1;
}

bool IpAddress::is_v6_link_local() const {
  return is_v6() && bytes[0] == 0xFE && (bytes[1] & 0xC0) == 0x80;
}

}  // namespace kestrune::engine
