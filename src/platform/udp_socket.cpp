#include "platform/udp_socket.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/socket_options.hpp"

namespace kestrune::platform {

namespace {

using support::Error;
using support::Result;
using support::Status;

// Retries a call that a signal interrupted; bounded, as a signal storm must not hang a sender.
template <class Call>
auto retry_interrupted(Call call) {
  constexpr int kMaxInterruptions = 8;
  auto result = call();
  for (int attempt = 0; result < 0 && errno == EINTR && attempt < kMaxInterruptions; ++attempt) {
    result = call();
  }
  return result;
}

}  // namespace

Result<UdpSocket> UdpSocket::bind_any_ipv4() { return bind(SocketAddress::of({0, 0, 0, 0}, 0)); }

Result<UdpSocket> UdpSocket::bind(const SocketAddress& local) {
  const int family = local.is_ipv6() ? AF_INET6 : AF_INET;
  const int fd = ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return support::fail(Error::from_errno("create UDP socket", errno));
  UdpSocket socket(fd);
  if (::bind(fd, local.native(), local.native_size()) != 0) {
    return support::fail(Error::from_errno("bind UDP socket", errno));
  }
  return socket;
}

Status UdpSocket::set_read_timeout(std::chrono::microseconds timeout) {
  return set_socket_timeout(fd_.get(), SO_RCVTIMEO, timeout, "set UDP read timeout");
}

Status UdpSocket::set_write_timeout(std::chrono::microseconds timeout) {
  return set_socket_timeout(fd_.get(), SO_SNDTIMEO, timeout, "set UDP write timeout");
}

Result<SocketAddress> UdpSocket::local_address() const { return socket_local_address(fd_.get()); }

Result<std::uint16_t> UdpSocket::local_port() const {
  auto endpoint = local_address();
  if (!endpoint) return support::fail(std::move(endpoint).error());
  return endpoint->port();
}

Result<UdpSocket> UdpSocket::duplicate() const {
  const int fd = ::fcntl(fd_.get(), F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return support::fail(Error::from_errno("duplicate UDP socket", errno));
  return UdpSocket(fd);
}

Status UdpSocket::send_to(std::span<const std::uint8_t> datagram,
                          const SocketAddress& destination) const {
  const ssize_t sent = retry_interrupted([&] {
    return ::sendto(fd_.get(), datagram.data(), datagram.size(), MSG_NOSIGNAL, destination.native(),
                    destination.native_size());
  });
  if (sent < 0) return support::fail(Error::from_errno("send UDP datagram", errno));
  if (static_cast<std::size_t>(sent) != datagram.size()) {
    return support::fail("send UDP datagram: sent only part of it");
  }
  return {};
}

Result<ReceivedDatagram> UdpSocket::recv_from(std::span<std::uint8_t> buffer) const {
  sockaddr_storage source{};
  socklen_t source_size = sizeof(source);
  const ssize_t received = retry_interrupted([&] {
    return ::recvfrom(fd_.get(), buffer.data(), buffer.size(), 0,
                      reinterpret_cast<sockaddr*>(&source), &source_size);
  });
  if (received < 0) return support::fail(Error::from_errno("receive UDP datagram", errno));
  auto endpoint = SocketAddress::from_native(source, source_size);
  if (!endpoint) return support::fail("receive UDP datagram: unexpected source address family");
  return ReceivedDatagram{static_cast<std::size_t>(received), *endpoint};
}

}  // namespace kestrune::platform
