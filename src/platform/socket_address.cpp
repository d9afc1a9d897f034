#include "platform/socket_address.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace kestrune::platform {

SocketAddress SocketAddress::ipv4(const std::array<std::uint8_t, 4>& address, std::uint16_t port) {
  SocketAddress result;
  sockaddr_in v4{};
  v4.sin_family = AF_INET;
  v4.sin_port = htons(port);
  std::memcpy(&v4.sin_addr, address.data(), address.size());
  std::memcpy(&result.storage_, &v4, sizeof v4);
  result.size_ = sizeof v4;
  return result;
}

SocketAddress SocketAddress::ipv6(const std::array<std::uint8_t, 16>& address, std::uint16_t port) {
  SocketAddress result;
  sockaddr_in6 v6{};
  v6.sin6_family = AF_INET6;
  v6.sin6_port = htons(port);
  std::memcpy(&v6.sin6_addr, address.data(), address.size());
  std::memcpy(&result.storage_, &v6, sizeof v6);
  result.size_ = sizeof v6;
  return result;
}

std::optional<SocketAddress> SocketAddress::from_ip_literal(std::string_view ip,
                                                            std::uint16_t port) {
  // inet_pton needs a terminated string; a literal longer than any address form is refused.
  char text[INET6_ADDRSTRLEN + 1] = {};
  if (ip.empty() || ip.size() >= sizeof text) return std::nullopt;
  std::memcpy(text, ip.data(), ip.size());
  std::array<std::uint8_t, 4> v4{};
  if (inet_pton(AF_INET, text, v4.data()) == 1) return ipv4(v4, port);
  std::array<std::uint8_t, 16> v6{};
  if (inet_pton(AF_INET6, text, v6.data()) == 1) return ipv6(v6, port);
  return std::nullopt;
}

std::optional<SocketAddress> SocketAddress::from_native(const sockaddr_storage& address,
                                                        socklen_t size) {
  SocketAddress result;
  if (address.ss_family == AF_INET && size >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
    result.size_ = sizeof(sockaddr_in);
  } else if (address.ss_family == AF_INET6 &&
             size >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
    result.size_ = sizeof(sockaddr_in6);
  } else {
    return std::nullopt;
  }
  std::memcpy(&result.storage_, &address, result.size_);
  return result;
}

std::uint16_t SocketAddress::port() const {
  if (is_ipv6()) return ntohs(reinterpret_cast<const sockaddr_in6*>(&storage_)->sin6_port);
  return ntohs(reinterpret_cast<const sockaddr_in*>(&storage_)->sin_port);
}

std::string SocketAddress::ip_string() const {
  char text[INET6_ADDRSTRLEN] = {};
  const void* raw =
      is_ipv6()
          ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in6*>(&storage_)->sin6_addr)
          : static_cast<const void*>(&reinterpret_cast<const sockaddr_in*>(&storage_)->sin_addr);
  if (inet_ntop(storage_.ss_family, raw, text, sizeof text) == nullptr) return "<invalid>";
  return text;
}

std::string SocketAddress::to_string() const {
  const std::string port_text = std::to_string(port());
  if (is_ipv6()) return "[" + ip_string() + "]:" + port_text;
  return ip_string() + ":" + port_text;
}

bool operator==(const SocketAddress& a, const SocketAddress& b) {
  return a.size_ == b.size_ && std::memcmp(&a.storage_, &b.storage_, a.size_) == 0;
}

}  // namespace kestrune::platform
