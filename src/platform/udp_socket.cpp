#include "platform/udp_socket.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace kestrune::platform {

namespace {

using support::Error;
using support::Result;
using support::Status;

timeval to_timeval(std::chrono::microseconds timeout) {
  // A zero timeval would mean "wait forever"; the shortest real timeout is one microsecond.
  const auto micros = timeout.count() < 1 ? 1 : timeout.count();
  timeval value{};
  value.tv_sec = static_cast<time_t>(micros / 1'000'000);
  value.tv_usec = static_cast<suseconds_t>(micros % 1'000'000);
  return value;
}

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

Result<UdpSocket> UdpSocket::bind_any_ipv4() { return bind(UdpEndpoint::ipv4({0, 0, 0, 0}, 0)); }

Result<UdpSocket> UdpSocket::bind(const UdpEndpoint& local) {
  const int family = local.is_ipv6() ? AF_INET6 : AF_INET;
  const int fd = ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return support::fail(Error::from_errno("create UDP socket", errno));
  UdpSocket socket(fd);
  if (::bind(fd, local.native(), local.native_size()) != 0) {
    return support::fail(Error::from_errno("bind UDP socket", errno));
  }
  return socket;
}

UdpSocket::UdpSocket(UdpSocket&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

UdpSocket& UdpSocket::operator=(UdpSocket&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

UdpSocket::~UdpSocket() { close(); }

void UdpSocket::close() {
  if (fd_ >= 0) ::close(std::exchange(fd_, -1));
}

Status UdpSocket::set_read_timeout(std::chrono::microseconds timeout) {
  const timeval value = to_timeval(timeout);
  if (::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &value, sizeof(value)) != 0) {
    return support::fail(Error::from_errno("set UDP read timeout", errno));
  }
  return {};
}

Status UdpSocket::set_write_timeout(std::chrono::microseconds timeout) {
  const timeval value = to_timeval(timeout);
  if (::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &value, sizeof(value)) != 0) {
    return support::fail(Error::from_errno("set UDP write timeout", errno));
  }
  return {};
}

Result<UdpEndpoint> UdpSocket::local_endpoint() const {
  sockaddr_storage address{};
  socklen_t size = sizeof(address);
  if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    return support::fail(Error::from_errno("read UDP local address", errno));
  }
  auto endpoint = UdpEndpoint::from_native(address, size);
  if (!endpoint) return support::fail("read UDP local address: unexpected address family");
  return *endpoint;
}

Result<std::uint16_t> UdpSocket::local_port() const {
  auto endpoint = local_endpoint();
  if (!endpoint) return support::fail(std::move(endpoint).error());
  return endpoint->port();
}

Result<UdpSocket> UdpSocket::duplicate() const {
  const int fd = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return support::fail(Error::from_errno("duplicate UDP socket", errno));
  return UdpSocket(fd);
}

Status UdpSocket::send_to(std::span<const std::uint8_t> datagram,
                          const UdpEndpoint& destination) const {
  const ssize_t sent = retry_interrupted([&] {
    return ::sendto(fd_, datagram.data(), datagram.size(), MSG_NOSIGNAL, destination.native(),
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
    return ::recvfrom(fd_, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&source),
                      &source_size);
  });
  if (received < 0) return support::fail(Error::from_errno("receive UDP datagram", errno));
  auto endpoint = UdpEndpoint::from_native(source, source_size);
  if (!endpoint) return support::fail("receive UDP datagram: unexpected source address family");
  return ReceivedDatagram{static_cast<std::size_t>(received), *endpoint};
}

}  // namespace kestrune::platform
