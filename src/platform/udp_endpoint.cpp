#include "platform/udp_endpoint.hpp"

#include <arpa/inet.h>

#include <cstring>

namespace kestrune::platform {

UdpEndpoint UdpEndpoint::ipv4(std::array<std::uint8_t, 4> address, std::uint16_t port) {
  UdpEndpoint endpoint;
  sockaddr_in v4{};
  v4.sin_family = AF_INET;
  v4.sin_port = htons(port);
  std::memcpy(&v4.sin_addr, address.data(), address.size());
  std::memcpy(&endpoint.storage_, &v4, sizeof(v4));
  endpoint.size_ = sizeof(v4);
  return endpoint;
}

UdpEndpoint UdpEndpoint::ipv6(std::array<std::uint8_t, 16> address, std::uint16_t port) {
  UdpEndpoint endpoint;
  sockaddr_in6 v6{};
  v6.sin6_family = AF_INET6;
  v6.sin6_port = htons(port);
  v6.sin6_flowinfo = 0;
  v6.sin6_scope_id = 0;
  std::memcpy(&v6.sin6_addr, address.data(), address.size());
  std::memcpy(&endpoint.storage_, &v6, sizeof(v6));
  endpoint.size_ = sizeof(v6);
  return endpoint;
}

std::optional<UdpEndpoint> UdpEndpoint::from_ip_literal(std::string_view ip, std::uint16_t port) {
  // inet_pton needs a terminated string; a literal longer than any address form is refused.
  char text[INET6_ADDRSTRLEN + 1] = {};
  if (ip.empty() || ip.size() >= sizeof(text)) return std::nullopt;
  std::memcpy(text, ip.data(), ip.size());
  std::array<std::uint8_t, 4> v4{};
  if (inet_pton(AF_INET, text, v4.data()) == 1) return ipv4(v4, port);
  std::array<std::uint8_t, 16> v6{};
  if (inet_pton(AF_INET6, text, v6.data()) == 1) return ipv6(v6, port);
  return std::nullopt;
}

std::optional<UdpEndpoint> UdpEndpoint::from_native(const sockaddr_storage& address,
                                                    socklen_t size) {
  UdpEndpoint endpoint;
  if (address.ss_family == AF_INET && size >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
    endpoint.size_ = sizeof(sockaddr_in);
  } else if (address.ss_family == AF_INET6 &&
             size >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
    endpoint.size_ = sizeof(sockaddr_in6);
  } else {
    return std::nullopt;
  }
  std::memcpy(&endpoint.storage_, &address, endpoint.size_);
  return endpoint;
}

std::uint16_t UdpEndpoint::port() const {
  if (is_ipv6()) return ntohs(reinterpret_cast<const sockaddr_in6*>(&storage_)->sin6_port);
  return ntohs(reinterpret_cast<const sockaddr_in*>(&storage_)->sin_port);
}

std::string UdpEndpoint::address_text() const {
  char text[INET6_ADDRSTRLEN] = {};
  const void* raw =
      is_ipv6()
          ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in6*>(&storage_)->sin6_addr)
          : static_cast<const void*>(&reinterpret_cast<const sockaddr_in*>(&storage_)->sin_addr);
  if (inet_ntop(storage_.ss_family, raw, text, sizeof(text)) == nullptr) return "<invalid>";
  return text;
}

bool operator==(const UdpEndpoint& a, const UdpEndpoint& b) {
  return a.size_ == b.size_ && std::memcmp(&a.storage_, &b.storage_, a.size_) == 0;
}

}  // namespace kestrune::platform
