#pragma once
// An IPv4 UDP socket for multicast queries from one interface address: bound to that address,
// with a multicast TTL and a group membership on the same interface, and received from without
// waiting. A datagram longer than the caller's buffer is taken off the socket and discarded whole,
// never handed on cut short.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "platform/ip_address.hpp"
#include "platform/socket_address.hpp"
#include "platform/unique_fd.hpp"
#include "support/error.hpp"

namespace kestrune::platform {

class MulticastUdpSocket {
 public:
  // Bound to (address, port), an IPv4 address; port 0 gives an ephemeral port. No other option is
  // set.
  static support::Result<MulticastUdpSocket> bind(const IpAddress& address, std::uint16_t port);

  support::Status set_nonblocking();
  support::Status set_multicast_ttl(std::uint8_t ttl);
  // Joins `group` on the interface that owns `interface_address` (both IPv4).
  support::Status join_group(const IpAddress& group, const IpAddress& interface_address);

  // Sends one datagram whole, or fails.
  support::Status send_to(std::span<const std::uint8_t> datagram,
                          const SocketAddress& destination) const;

  // One waiting datagram, never waiting for one: its size. Nothing when none is waiting, when the
  // receive fails, and when the datagram was longer than the buffer (it is discarded).
  std::optional<std::size_t> try_receive(std::span<std::uint8_t> buffer) const;

  support::Result<std::uint16_t> local_port() const;

 private:
  explicit MulticastUdpSocket(int fd) : fd_(fd) {}

  UniqueFd fd_;
};

}  // namespace kestrune::platform
