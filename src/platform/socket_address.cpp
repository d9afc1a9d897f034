#include "platform/socket_address.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace kestrune::platform {

support::Result<SocketAddress> SocketAddress::from_ip(std::string_view ip_literal,
                                                      std::uint16_t port) {
  const std::string text(ip_literal);
  SocketAddress address;
  sockaddr_in v4{};
  if (inet_pton(AF_INET, text.c_str(), &v4.sin_addr) == 1) {
    v4.sin_family = AF_INET;
    v4.sin_port = htons(port);
    std::memcpy(&address.storage_, &v4, sizeof v4);
    address.size_ = sizeof v4;
    return address;
  }
  sockaddr_in6 v6{};
  if (inet_pton(AF_INET6, text.c_str(), &v6.sin6_addr) == 1) {
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(port);
    std::memcpy(&address.storage_, &v6, sizeof v6);
    address.size_ = sizeof v6;
    return address;
  }
  return support::fail("not an IP address: " + text);
}

SocketAddress SocketAddress::loopback_v4(std::uint16_t port) {
  SocketAddress address;
  sockaddr_in v4{};
  v4.sin_family = AF_INET;
  v4.sin_port = htons(port);
  v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::memcpy(&address.storage_, &v4, sizeof v4);
  address.size_ = sizeof v4;
  return address;
}

support::Result<SocketAddress> SocketAddress::from_native(const sockaddr* native, socklen_t size) {
  SocketAddress address;
  if (native->sa_family == AF_INET && size >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
    std::memcpy(&address.storage_, native, sizeof(sockaddr_in));
    address.size_ = sizeof(sockaddr_in);
    return address;
  }
  if (native->sa_family == AF_INET6 && size >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
    std::memcpy(&address.storage_, native, sizeof(sockaddr_in6));
    address.size_ = sizeof(sockaddr_in6);
    return address;
  }
  return support::fail("socket address is neither IPv4 nor IPv6");
}

std::uint16_t SocketAddress::port() const {
  if (is_ipv6()) return ntohs(reinterpret_cast<const sockaddr_in6*>(&storage_)->sin6_port);
  return ntohs(reinterpret_cast<const sockaddr_in*>(&storage_)->sin_port);
}

std::string SocketAddress::ip_string() const {
  char text[INET6_ADDRSTRLEN] = {};
  if (is_ipv6()) {
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&storage_)->sin6_addr, text,
              sizeof text);
  } else {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&storage_)->sin_addr, text,
              sizeof text);
  }
  return text;
}

std::string SocketAddress::to_string() const {
  const std::string port_text = std::to_string(port());
  if (is_ipv6()) return "[" + ip_string() + "]:" + port_text;
  return ip_string() + ":" + port_text;
}

}  // namespace kestrune::platform
