// The TCP layer under the control connection, on loopback.

#include "platform/tcp_stream.hpp"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>

#include "platform/socket_address.hpp"
#include "platform/tcp_listener.hpp"

namespace kestrune::platform {
namespace {

using namespace std::chrono_literals;

struct ConnectedPair {
  TcpStream client;
  TcpStream server;
};

ConnectedPair connect_pair() {
  auto listener = TcpListener::bind(SocketAddress::loopback_v4(0));
  EXPECT_TRUE(listener);
  auto address = listener->local_address();
  auto client = TcpStream::connect(*address, 1s);
  EXPECT_TRUE(client) << client.error().describe();
  auto accepted = listener->accept_for(1s);
  EXPECT_TRUE(accepted && *accepted);
  return {std::move(*client), std::move(**accepted)};
}

TEST(TcpStream, CarriesBytesBothWaysAndKnowsBothEnds) {
  auto [client, server] = connect_pair();
  ASSERT_TRUE(client.set_nodelay(true));
  const std::array<std::uint8_t, 3> sent = {1, 2, 3};
  ASSERT_TRUE(client.write_all(sent));
  std::array<std::uint8_t, 8> received{};
  ASSERT_TRUE(server.set_read_timeout(1s));
  auto count = server.read_some(received);
  ASSERT_TRUE(count);
  ASSERT_EQ(*count, 3u);
  EXPECT_EQ(received[2], 3);
  EXPECT_EQ(client.peer_address()->port(), server.local_address()->port());
}

TEST(TcpStream, ARefusedConnectKeepsItsErrno) {
  // A port that was just free: bind, read the port, close.
  auto listener = TcpListener::bind(SocketAddress::loopback_v4(0));
  ASSERT_TRUE(listener);
  const SocketAddress address = *listener->local_address();
  listener->close();
  auto connected = TcpStream::connect(address, 1s);
  ASSERT_FALSE(connected);
  EXPECT_EQ(connected.error().os_code(), ECONNREFUSED);
  EXPECT_FALSE(support::is_timeout_error(connected.error()));
}

TEST(TcpStream, AReadThatTimesOutIsATimeoutError) {
  auto [client, server] = connect_pair();
  ASSERT_TRUE(server.set_read_timeout(20ms));
  std::array<std::uint8_t, 8> buffer{};
  const auto started = std::chrono::steady_clock::now();
  auto count = server.read_some(buffer);
  ASSERT_FALSE(count);
  EXPECT_EQ(count.error().kind(), support::ErrorKind::would_block);
  EXPECT_GE(std::chrono::steady_clock::now() - started, 15ms);
}

TEST(TcpStream, ShutdownEndsBothDirectionsAndWritesToAClosedPeerFailAsClosed) {
  auto [client, server] = connect_pair();
  ASSERT_TRUE(client.shutdown_both());
  std::array<std::uint8_t, 8> buffer{};
  ASSERT_TRUE(server.set_read_timeout(1s));
  auto count = server.read_some(buffer);
  ASSERT_TRUE(count);
  EXPECT_EQ(*count, 0u);

  // The client's side is shut: its own writes fail at once, without a signal.
  const std::array<std::uint8_t, 1> byte = {7};
  auto written = client.write_some(byte);
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error().kind(), support::ErrorKind::connection_closed);
}

TEST(TcpStream, AConnectThatGetsNoAnswerTimesOut) {
  // A listener that never accepts, with the smallest backlog: once its queue is full the kernel
  // drops further handshakes and the next connect waits in vain.
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  const SocketAddress any = SocketAddress::loopback_v4(0);
  ASSERT_EQ(::bind(fd, any.native(), any.native_size()), 0);
  ASSERT_EQ(::listen(fd, 0), 0);
  sockaddr_storage storage{};
  socklen_t size = sizeof storage;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &size);
  const SocketAddress address = *SocketAddress::from_native(storage, size);

  std::vector<TcpStream> queued;
  bool timed_out = false;
  for (int attempt = 0; attempt < 16 && !timed_out; ++attempt) {
    auto connected = TcpStream::connect(address, 200ms);
    if (connected) {
      queued.push_back(std::move(*connected));
      continue;
    }
    EXPECT_EQ(connected.error().kind(), support::ErrorKind::timed_out);
    timed_out = true;
  }
  ::close(fd);
  EXPECT_TRUE(timed_out);
}

}  // namespace
}  // namespace kestrune::platform
