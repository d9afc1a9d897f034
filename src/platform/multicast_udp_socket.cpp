#include "platform/multicast_udp_socket.hpp"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "platform/socket_options.hpp"

namespace kestrune::platform {
namespace {

in_addr in_addr_of(const IpAddress& address) {
  in_addr result{};
  std::memcpy(&result, address.bytes.data(), sizeof result);
  return result;
}

}  // namespace

support::Result<MulticastUdpSocket> MulticastUdpSocket::bind(const IpAddress& address,
                                                             std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return support::fail(support::Error::from_errno("create UDP socket", errno));
  MulticastUdpSocket socket(fd);
  const SocketAddress local = SocketAddress::of(address, port);
  if (::bind(fd, local.native(), local.native_size()) != 0) {
    return support::fail(support::Error::from_errno("bind UDP socket", errno));
  }
  return socket;
}

support::Status MulticastUdpSocket::set_nonblocking() {
  const int flags = ::fcntl(fd_.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd_.get(), F_SETFL, flags | O_NONBLOCK) != 0) {
    return support::fail(support::Error::from_errno("make UDP socket non-blocking", errno));
  }
  return {};
}

support::Status MulticastUdpSocket::set_multicast_ttl(std::uint8_t ttl) {
  const int value = ttl;
  if (::setsockopt(fd_.get(), IPPROTO_IP, IP_MULTICAST_TTL, &value, sizeof value) != 0) {
    return support::fail(support::Error::from_errno("set multicast TTL", errno));
  }
  return {};
}

support::Status MulticastUdpSocket::join_group(const IpAddress& group,
                                               const IpAddress& interface_address) {
  ip_mreq membership{};
  membership.imr_multiaddr = in_addr_of(group);
  membership.imr_interface = in_addr_of(interface_address);
  if (::setsockopt(fd_.get(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0) {
    return support::fail(support::Error::from_errno("join multicast group", errno));
  }
  return {};
}

support::Status MulticastUdpSocket::send_to(std::span<const std::uint8_t> datagram,
                                            const SocketAddress& destination) const {
  const ssize_t sent =
      ::sendto(fd_.get(), datagram.data(), datagram.size(), MSG_NOSIGNAL | MSG_DONTWAIT,
               destination.native(), destination.native_size());
  if (sent < 0) return support::fail(support::Error::from_errno("send UDP datagram", errno));
  if (static_cast<std::size_t>(sent) != datagram.size()) {
    return support::fail("send UDP datagram: sent only part of it");
  }
  return {};
}

std::optional<std::size_t> MulticastUdpSocket::try_receive(std::span<std::uint8_t> buffer) const {
  // With MSG_TRUNC the kernel reports the datagram's real length, so a longer one shows itself
  // even though only the buffer's worth was copied.
  const ssize_t length = ::recv(fd_.get(), buffer.data(), buffer.size(), MSG_DONTWAIT | MSG_TRUNC);
  if (length < 0) return std::nullopt;
  if (static_cast<std::size_t>(length) > buffer.size()) return std::nullopt;
  return static_cast<std::size_t>(length);
}

support::Result<std::uint16_t> MulticastUdpSocket::local_port() const {
  auto local = socket_local_address(fd_.get());
  if (!local) return support::fail(std::move(local).error());
  return local->port();
}

}  // namespace kestrune::platform
