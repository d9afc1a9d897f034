#include "engine/orchestration/stream_destination.hpp"

#include <gtest/gtest.h>

namespace kestrune::engine {
namespace {

TEST(StreamDestination, KeepsTheReceiversAddressFamily) {
  const auto v4 = stream_destination(platform::IpAddress::v4(192, 0, 2, 7), 6001);
  EXPECT_EQ(v4, *platform::SocketAddress::from_ip_literal("192.0.2.7", 6001));
  EXPECT_FALSE(v4.is_ipv6());
  const auto v6 = stream_destination(
      platform::IpAddress::v6({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x02}),
      6002);
  EXPECT_EQ(v6, *platform::SocketAddress::from_ip_literal("2001:db8::2", 6002));
  EXPECT_TRUE(v6.is_ipv6());
}

}  // namespace
}  // namespace kestrune::engine
