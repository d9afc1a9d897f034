#include "platform/socket_address.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace kestrune::platform {
namespace {

// The family's own sockaddr type written into a SocketAddress's storage.
template <typename Native>
void store(sockaddr_storage& storage, socklen_t& size, const Native& native) {
  std::memcpy(&storage, &native, sizeof native);
  size = sizeof native;
}

}  // namespace

SocketAddress SocketAddress::of(const IpAddress& address, std::uint16_t port) {
  SocketAddress result;
  if (address.is_v4()) {
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    v4.sin_port = htons(port);
    std::memcpy(&v4.sin_addr, address.bytes.data(), sizeof v4.sin_addr);
    store(result.storage_, result.size_, v4);
  } else {
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(port);
    std::memcpy(&v6.sin6_addr, address.bytes.data(), sizeof v6.sin6_addr);
    store(result.storage_, result.size_, v6);
  }
  return result;
}

std::optional<SocketAddress> SocketAddress::from_ip_literal(std::string_view ip,
                                                            std::uint16_t port) {
  // inet_pton needs a terminated string; a literal longer than any address form is refused.
  char text[INET6_ADDRSTRLEN + 1] = {};
  if (ip.empty() || ip.size() >= sizeof text) return std::nullopt;
  std::memcpy(text, ip.data(), ip.size());
  IpAddress address;
  if (inet_pton(AF_INET, text, address.bytes.data()) == 1) return of(address, port);
  address = IpAddress::v6({});
  if (inet_pton(AF_INET6, text, address.bytes.data()) == 1) return of(address, port);
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

IpAddress SocketAddress::ip() const {
  IpAddress address;
  if (is_ipv6()) {
    address.family = IpAddress::Family::v6;
    const auto& raw = reinterpret_cast<const sockaddr_in6*>(&storage_)->sin6_addr;
    std::memcpy(address.bytes.data(), &raw, sizeof raw);
  } else {
    const auto& raw = reinterpret_cast<const sockaddr_in*>(&storage_)->sin_addr;
    std::memcpy(address.bytes.data(), &raw, sizeof raw);
  }
  return address;
}

std::string SocketAddress::ip_string() const { return ip().to_string(); }

std::string SocketAddress::to_string() const {
  const std::string port_text = std::to_string(port());
  if (is_ipv6()) return "[" + ip_string() + "]:" + port_text;
  return ip_string() + ":" + port_text;
}

bool operator==(const SocketAddress& a, const SocketAddress& b) {
  return a.size_ == b.size_ && std::memcmp(&a.storage_, &b.storage_, a.size_) == 0;
}

}  // namespace kestrune::platform
