#include "platform/udp_socket.hpp"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

namespace kestrune::platform {
namespace {

using namespace std::chrono_literals;

const SocketAddress kLoopbackAnyPort = SocketAddress::of({127, 0, 0, 1}, 0);

UdpSocket bound_loopback() {
  auto socket = UdpSocket::bind(kLoopbackAnyPort);
  EXPECT_TRUE(socket) << socket.error().describe();
  EXPECT_TRUE(socket->set_read_timeout(1s));
  return std::move(*socket);
}

SocketAddress loopback_endpoint_of(const UdpSocket& socket) {
  return SocketAddress::of({127, 0, 0, 1}, socket.local_port().value());
}

TEST(UdpSocket, BindsToEveryIpv4AddressAndAnEphemeralPort) {
  auto socket = UdpSocket::bind_any_ipv4();
  ASSERT_TRUE(socket) << socket.error().describe();
  const auto local = socket->local_address();
  ASSERT_TRUE(local);
  EXPECT_FALSE(local->is_ipv6());
  EXPECT_EQ(local->ip_string(), "0.0.0.0");
  EXPECT_NE(local->port(), 0);
}

TEST(UdpSocket, DatagramsTravelWholeWithTheirSource) {
  auto sender = UdpSocket::bind_any_ipv4();
  ASSERT_TRUE(sender);
  UdpSocket receiver = bound_loopback();
  const std::vector<std::uint8_t> payload = {0x80, 0xD5, 0x00, 0x01, 0xFF, 0x00, 0x7F};
  ASSERT_TRUE(sender->send_to(payload, loopback_endpoint_of(receiver)));

  std::array<std::uint8_t, 64> buffer{};
  const auto got = receiver.recv_from(buffer);
  ASSERT_TRUE(got) << got.error().describe();
  EXPECT_EQ(std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + got->size), payload);
  EXPECT_EQ(got->source.port(), sender->local_port().value());
  EXPECT_EQ(got->source.ip_string(), "127.0.0.1");
}

TEST(UdpSocket, ALongerDatagramIsCutToTheBuffer) {
  UdpSocket receiver = bound_loopback();
  const std::vector<std::uint8_t> payload(100, 0xAB);
  ASSERT_TRUE(receiver.send_to(payload, loopback_endpoint_of(receiver)));
  std::array<std::uint8_t, 32> buffer{};
  const auto got = receiver.recv_from(buffer);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->size, buffer.size());
}

TEST(UdpSocket, AReadTimeoutIsATimeoutError) {
  auto socket = UdpSocket::bind(kLoopbackAnyPort);
  ASSERT_TRUE(socket);
  ASSERT_TRUE(socket->set_read_timeout(20ms));
  std::array<std::uint8_t, 16> buffer{};
  const auto started = std::chrono::steady_clock::now();
  const auto got = socket->recv_from(buffer);
  const auto waited = std::chrono::steady_clock::now() - started;
  ASSERT_FALSE(got);
  EXPECT_TRUE(support::is_timeout_error(got.error())) << got.error().describe();
  EXPECT_GE(waited, 15ms);
  EXPECT_LT(waited, 1s);
}

TEST(UdpSocket, AWriteTimeoutCanBeSet) {
  auto socket = UdpSocket::bind_any_ipv4();
  ASSERT_TRUE(socket);
  ASSERT_TRUE(socket->set_write_timeout(2s));
  timeval value{};
  socklen_t size = sizeof(value);
  ASSERT_EQ(::getsockopt(socket->native_handle(), SOL_SOCKET, SO_SNDTIMEO, &value, &size), 0);
  EXPECT_EQ(value.tv_sec, 2);
}

TEST(UdpSocket, ADuplicateIsTheSameSocket) {
  UdpSocket original = bound_loopback();
  auto duplicate = original.duplicate();
  ASSERT_TRUE(duplicate) << duplicate.error().describe();
  EXPECT_NE(duplicate->native_handle(), original.native_handle());
  EXPECT_EQ(duplicate->local_port().value(), original.local_port().value());

  // A datagram sent to the shared port is read through the duplicate, and the duplicate stays
  // usable after the original descriptor is closed.
  const SocketAddress shared_port = loopback_endpoint_of(original);
  original.close();
  const std::array<std::uint8_t, 3> payload = {1, 2, 3};
  ASSERT_TRUE(duplicate->send_to(payload, shared_port));
  std::array<std::uint8_t, 8> buffer{};
  const auto got = duplicate->recv_from(buffer);
  ASSERT_TRUE(got) << got.error().describe();
  EXPECT_EQ(got->size, payload.size());
}

TEST(UdpSocket, AnIpv4SocketCannotSendToAnIpv6Destination) {
  auto socket = UdpSocket::bind_any_ipv4();
  ASSERT_TRUE(socket);
  const std::array<std::uint8_t, 4> payload = {0, 1, 2, 3};
  const auto sent = socket->send_to(payload, *SocketAddress::from_ip_literal("::1", 9));
  ASSERT_FALSE(sent);
  EXPECT_FALSE(support::is_timeout_error(sent.error()));
}

TEST(UdpSocket, Ipv6LoopbackWhenTheHostHasIt) {
  auto receiver = UdpSocket::bind(*SocketAddress::from_ip_literal("::1", 0));
  if (!receiver) GTEST_SKIP() << "no IPv6 loopback here: " << receiver.error().describe();
  ASSERT_TRUE(receiver->set_read_timeout(1s));
  auto sender = UdpSocket::bind(*SocketAddress::from_ip_literal("::1", 0));
  ASSERT_TRUE(sender);
  const auto destination = SocketAddress::from_ip_literal("::1", receiver->local_port().value());
  const std::array<std::uint8_t, 2> payload = {0xD2, 0x52};
  ASSERT_TRUE(sender->send_to(payload, *destination));
  std::array<std::uint8_t, 8> buffer{};
  const auto got = receiver->recv_from(buffer);
  ASSERT_TRUE(got) << got.error().describe();
  EXPECT_TRUE(got->source.is_ipv6());
  EXPECT_EQ(got->source.port(), sender->local_port().value());
}

TEST(UdpSocket, AClosedSocketHoldsNoDescriptor) {
  UdpSocket socket = bound_loopback();
  socket.close();
  EXPECT_FALSE(socket.is_open());
  std::array<std::uint8_t, 8> buffer{};
  const auto got = socket.recv_from(buffer);
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error().os_code(), EBADF);
}

}  // namespace
}  // namespace kestrune::platform
