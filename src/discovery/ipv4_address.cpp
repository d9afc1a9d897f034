#include "discovery/ipv4_address.hpp"

#include <charconv>

namespace kestrune::discovery {

std::string ipv4_to_text(const Ipv4Address& address) {
  std::string text;
  // Appended, not written into a fixed array: GCC 12 at -O3 cannot bound the array walk and
  // reports a false overflow (-Wstringop-overflow).
  text.reserve(15);  // "255.255.255.255"
  for (std::size_t i = 0; i < address.size(); ++i) {
    if (i != 0) text += '.';
    char digits[3];
    const char* end = std::to_chars(digits, digits + sizeof digits, address[i]).ptr;
    text.append(digits, static_cast<std::size_t>(end - digits));
  }
  return text;
}

}  // namespace kestrune::discovery
