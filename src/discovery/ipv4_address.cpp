#include "discovery/ipv4_address.hpp"

#include <charconv>

namespace kestrune::discovery {

std::string ipv4_to_text(const Ipv4Address& address) {
  char text[16];
  char* end = text;
  for (std::size_t i = 0; i < address.size(); ++i) {
    if (i != 0) *end++ = '.';
    end = std::to_chars(end, text + sizeof text, address[i]).ptr;
  }
  return std::string(text, end);
}

}  // namespace kestrune::discovery
