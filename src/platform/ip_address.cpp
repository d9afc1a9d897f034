#include "platform/ip_address.hpp"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <charconv>

namespace kestrune::platform {
namespace {

std::string ipv4_text(const IpAddress& address) {
  std::string text;
  // Appended, not written into a fixed array: GCC 12 at -O3 cannot bound the array walk and
  // reports a false overflow (-Wstringop-overflow).
  text.reserve(15);  // "255.255.255.255"
  for (std::size_t i = 0; i < 4; ++i) {
    if (i != 0) text += '.';
    char digits[3];
    const char* end = std::to_chars(digits, digits + sizeof digits, address.bytes[i]).ptr;
    text.append(digits, static_cast<std::size_t>(end - digits));
  }
  return text;
}

}  // namespace

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

std::string IpAddress::to_string() const {
  if (is_v4()) return ipv4_text(*this);
  char text[INET6_ADDRSTRLEN] = {};
  // Sixteen bytes always format; the buffer holds the longest form.
  inet_ntop(AF_INET6, bytes.data(), text, sizeof text);
  return text;
}

}  // namespace kestrune::platform
