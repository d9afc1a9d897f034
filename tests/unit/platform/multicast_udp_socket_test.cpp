#include "platform/multicast_udp_socket.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <thread>
#include <vector>

#include "platform/udp_socket.hpp"
#include "tests/support/wait_until.hpp"

namespace kestrune::platform {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using kestrune::testing::wait_until;

constexpr IpAddress kLoopback = {127, 0, 0, 1};

// The first datagram that try_receive hands out within a second; it never waits itself.
std::optional<std::size_t> first_received(const MulticastUdpSocket& socket,
                                          std::vector<std::uint8_t>& buffer) {
  std::optional<std::size_t> size;
  (void)wait_until(
      [&] {
        size = socket.try_receive(buffer);
        return size.has_value();
      },
      1s);
  return size;
}

class MulticastSocketOnLoopback : public ::testing::Test {
 protected:
  MulticastSocketOnLoopback()
      : socket(MulticastUdpSocket::bind(kLoopback, 0).value()),
        sender(UdpSocket::bind(SocketAddress::of(kLoopback, 0)).value()) {
    EXPECT_TRUE(socket.set_nonblocking());
    EXPECT_TRUE(socket.set_multicast_ttl(255));
  }
  void send(std::size_t size, std::uint8_t fill) {
    const std::vector<std::uint8_t> datagram(size, fill);
    ASSERT_TRUE(sender.send_to(datagram, SocketAddress::of(kLoopback, *socket.local_port())));
  }

  MulticastUdpSocket socket;
  UdpSocket sender;
  std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(9000);
};

TEST_F(MulticastSocketOnLoopback, BindsAnEphemeralPortAndNeverWaits) {
  ASSERT_TRUE(socket.local_port());
  EXPECT_NE(*socket.local_port(), 0);
  const auto start = Clock::now();
  EXPECT_EQ(socket.try_receive(buffer), std::nullopt);
  EXPECT_LT(Clock::now() - start, 500ms);
}

TEST_F(MulticastSocketOnLoopback, DiscardsADatagramLongerThanTheBufferWhole) {
  send(9000, 0xAB);
  ASSERT_EQ(first_received(socket, buffer), 9000U) << "a datagram that fits is read whole";
  EXPECT_EQ(buffer.front(), 0xAB);
  EXPECT_EQ(buffer.back(), 0xAB);

  send(9001, 0xCD);
  send(5, 0xEF);
  // The longer one is taken off the socket but never handed out, cut or otherwise.
  EXPECT_EQ(first_received(socket, buffer), 5U);
  EXPECT_EQ(buffer[0], 0xEF);
  EXPECT_EQ(socket.try_receive(buffer), std::nullopt);
}

TEST(MulticastUdpSocket, BindToAnAddressOfNoInterfaceFails) {
  // 192.0.2.0/24 is reserved for documentation; no interface here has it.
  EXPECT_FALSE(MulticastUdpSocket::bind({192, 0, 2, 1}, 0));
}

}  // namespace
}  // namespace kestrune::platform
