#include "platform/ip_address.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "platform/socket_address.hpp"

namespace kestrune::platform {
namespace {

IpAddress v6(std::uint8_t first, std::uint8_t second, std::uint8_t last) {
  std::array<std::uint8_t, 16> bytes{};
  bytes[0] = first;
  bytes[1] = second;
  bytes[15] = last;
  return IpAddress::v6(bytes);
}

TEST(IpAddress, WritesDottedDecimalAndTheShortestIpv6Form) {
  struct Case {
    IpAddress address;
    const char* text;
  };
  const Case cases[] = {
      {{0, 0, 0, 0}, "0.0.0.0"},
      {{192, 168, 1, 10}, "192.168.1.10"},
      {{255, 255, 255, 255}, "255.255.255.255"},
      {{10, 0, 100, 9}, "10.0.100.9"},
      {v6(0x20, 0x01, 0x02), "2001::2"},
      {v6(0, 0, 1), "::1"},
      {v6(0xFE, 0x80, 0), "fe80::"},
      {IpAddress::v6({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1}),
       "2001:db8:0:1::1"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.address.to_string(), c.text);
  }
}

TEST(IpAddress, OrdersIpv4ByNumericValueAndBeforeIpv6) {
  std::vector<IpAddress> addresses = {
      v6(0, 0, 1), {192, 168, 1, 1}, {10, 0, 0, 9}, {10, 0, 0, 2}, {9, 255, 255, 255}};
  std::sort(addresses.begin(), addresses.end());
  EXPECT_EQ(addresses,
            (std::vector<IpAddress>{
                {9, 255, 255, 255}, {10, 0, 0, 2}, {10, 0, 0, 9}, {192, 168, 1, 1}, v6(0, 0, 1)}));
  EXPECT_NE(IpAddress(0, 0, 0, 0), v6(0, 0, 0)) << "the family counts";
}

TEST(IpAddress, Ipv4ValueIsTheHostOrderNumber) {
  EXPECT_EQ(IpAddress(10, 0, 0, 2).v4_value(), 0x0A000002u);
  for (const std::uint32_t value : {0u, 1u, 0x0A000002u, 0xC0A8010Au, 0xFFFFFFFFu}) {
    EXPECT_EQ(IpAddress::v4_of_value(value).v4_value(), value);
  }
  EXPECT_EQ(IpAddress::v4_of_value(0xC0A8010Au), IpAddress(192, 168, 1, 10));
}

TEST(IpAddress, SurvivesTheTripThroughASocketAddress) {
  for (const IpAddress& address : {IpAddress(192, 0, 2, 7), v6(0x20, 0x01, 5)}) {
    SCOPED_TRACE(address.to_string());
    const SocketAddress socket = SocketAddress::of(address, 7000);
    EXPECT_EQ(socket.is_ipv6(), address.is_v6());
    EXPECT_EQ(socket.ip(), address);
    EXPECT_EQ(socket.ip_string(), address.to_string());
  }
}

}  // namespace
}  // namespace kestrune::platform
