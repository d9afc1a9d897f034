#pragma once
// An IPv4 or IPv6 socket address (address and port), as the socket calls take it.

#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "support/error.hpp"

namespace kestrune::platform {

class SocketAddress {
 public:
  // From an IP literal ("192.168.1.20", "2001:db8::5") and a port; anything else is refused.
  static support::Result<SocketAddress> from_ip(std::string_view ip_literal, std::uint16_t port);
  // 127.0.0.1 with the given port.
  static SocketAddress loopback_v4(std::uint16_t port);
  // From what getsockname/accept filled in; only AF_INET and AF_INET6 are taken.
  static support::Result<SocketAddress> from_native(const sockaddr* address, socklen_t size);

  bool is_ipv6() const { return storage_.ss_family == AF_INET6; }
  std::uint16_t port() const;
  // The address alone: "192.168.1.20" or "2001:db8::5".
  std::string ip_string() const;
  // "192.168.1.20:7000" or "[2001:db8::5]:7000".
  std::string to_string() const;

  const sockaddr* native() const { return reinterpret_cast<const sockaddr*>(&storage_); }
  socklen_t native_size() const { return size_; }
  int family() const { return storage_.ss_family; }

 private:
  SocketAddress() = default;

  sockaddr_storage storage_{};
  socklen_t size_ = 0;
};

}  // namespace kestrune::platform
