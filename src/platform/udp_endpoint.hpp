#pragma once
// A UDP peer address: an IPv4 or an IPv6 socket address with its port. IPv6 addresses carry flow
// information 0 and scope 0, which is what the receivers expect for a global address.

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestrune::platform {

class UdpEndpoint {
 public:
  static UdpEndpoint ipv4(std::array<std::uint8_t, 4> address, std::uint16_t port);
  static UdpEndpoint ipv6(std::array<std::uint8_t, 16> address, std::uint16_t port);
  // A numeric IPv4 or IPv6 literal ("192.0.2.7", "2001:db8::2"); nothing is resolved.
  static std::optional<UdpEndpoint> from_ip_literal(std::string_view ip, std::uint16_t port);
  // The address the kernel reported (recvfrom, getsockname); nothing for other families.
  static std::optional<UdpEndpoint> from_native(const sockaddr_storage& address, socklen_t size);

  bool is_ipv6() const { return storage_.ss_family == AF_INET6; }
  std::uint16_t port() const;
  // The numeric form without the port, for test messages.
  std::string address_text() const;

  const sockaddr* native() const { return reinterpret_cast<const sockaddr*>(&storage_); }
  socklen_t native_size() const { return size_; }

  friend bool operator==(const UdpEndpoint& a, const UdpEndpoint& b);

 private:
  UdpEndpoint() = default;

  sockaddr_storage storage_{};
  socklen_t size_ = 0;
};

}  // namespace kestrune::platform
