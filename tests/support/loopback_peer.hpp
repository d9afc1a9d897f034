#pragma once
// The receiver's end of the stream workers' UDP traffic in tests, on 127.0.0.1.

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "platform/udp_socket.hpp"

namespace kestrune::engine::testing {

using namespace std::chrono_literals;

inline platform::SocketAddress loopback(std::uint16_t port) {
  return platform::SocketAddress::of({127, 0, 0, 1}, port);
}

struct LoopbackPeer {
  explicit LoopbackPeer(std::chrono::milliseconds read_timeout = 1s)
      : socket(platform::UdpSocket::bind(loopback(0)).value()),
        endpoint(loopback(socket.local_port().value())) {
    EXPECT_TRUE(socket.set_read_timeout(read_timeout));
  }

  // One datagram, or nothing once the read timeout has passed.
  std::optional<std::vector<std::uint8_t>> receive() {
    std::vector<std::uint8_t> buffer(65'536);
    auto got = socket.recv_from(buffer);
    if (!got) return std::nullopt;
    buffer.resize(got->size);
    last_source = got->source;
    return buffer;
  }

  void send(std::span<const std::uint8_t> datagram, const platform::SocketAddress& to) {
    ASSERT_TRUE(socket.send_to(datagram, to));
  }

  platform::UdpSocket socket;
  platform::SocketAddress endpoint;
  std::optional<platform::SocketAddress> last_source;
};

// Makes the next receive on `socket` (and on every duplicate of it) fail with ECONNREFUSED, a
// receive error that is not a timeout: the socket is connected to a loopback port nobody holds
// and sends there, and the port-unreachable answer is left pending on the socket.
inline void make_next_receive_fail(const platform::UdpSocket& socket) {
  std::uint16_t closed_port = 0;
  {
    auto probe = platform::UdpSocket::bind(loopback(0)).value();
    closed_port = probe.local_port().value();
  }
  const platform::SocketAddress nobody = loopback(closed_port);
  ASSERT_EQ(::connect(socket.native_handle(), nobody.native(), nobody.native_size()), 0);
  const std::uint8_t byte = 0;
  ASSERT_TRUE(socket.send_to(std::span(&byte, 1), nobody));
}

}  // namespace kestrune::engine::testing
