#pragma once
// An IPv4 or IPv6 socket address (address and port) in the form the socket calls take. IPv6
// addresses made here carry flow information 0 and scope 0, which is what a receiver's global
// address needs.

#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/ip_address.hpp"

namespace kestrune::platform {

class SocketAddress {
 public:
  // An IPv4 socket address for an IPv4 address, an IPv6 one for an IPv6 address.
  static SocketAddress of(const IpAddress& address, std::uint16_t port);
  // 127.0.0.1 with the given port.
  static SocketAddress loopback_v4(std::uint16_t port) { return of({127, 0, 0, 1}, port); }
  // From a numeric IPv4 or IPv6 literal ("192.0.2.7", "2001:db8::2"); nothing is resolved and
  // anything else gives nothing.
  static std::optional<SocketAddress> from_ip_literal(std::string_view ip, std::uint16_t port);
  // From what the kernel filled in (getsockname, accept, recvfrom); nothing for other families.
  static std::optional<SocketAddress> from_native(const sockaddr_storage& address, socklen_t size);

  bool is_ipv6() const { return storage_.ss_family == AF_INET6; }
  int family() const { return storage_.ss_family; }
  std::uint16_t port() const;
  // The address alone.
  IpAddress ip() const;
  // The address alone as text: "192.0.2.7" or "2001:db8::2".
  std::string ip_string() const;
  // "192.0.2.7:7000" or "[2001:db8::2]:7000".
  std::string to_string() const;

  const sockaddr* native() const { return reinterpret_cast<const sockaddr*>(&storage_); }
  socklen_t native_size() const { return size_; }

  friend bool operator==(const SocketAddress& a, const SocketAddress& b);

 private:
  SocketAddress() = default;

  sockaddr_storage storage_{};
  socklen_t size_ = 0;
};

}  // namespace kestrune::platform
