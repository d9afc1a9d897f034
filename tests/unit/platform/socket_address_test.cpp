#include "platform/socket_address.hpp"

#include <gtest/gtest.h>
#include <netinet/in.h>

#include <cstring>

namespace kestrune::platform {
namespace {

TEST(SocketAddress, ParsesNumericLiteralsOnly) {
  struct Case {
    const char* text;
    const char* written;  // nullptr: refused
    bool ipv6;
  };
  const Case cases[] = {
      {"192.0.2.7", "192.0.2.7:7000", false},
      {"2001:db8::5", "[2001:db8::5]:7000", true},
      {"::1", "[::1]:7000", true},
      {"fe80::1", "[fe80::1]:7000", true},
      {"1.2.3", nullptr, false},
      {"256.1.1.1", nullptr, false},
      {"receiver.local", nullptr, false},
      {"localhost", nullptr, false},
      {"", nullptr, false},
      {"0000:0000:0000:0000:0000:0000:0000:0000:0000", nullptr, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const auto address = SocketAddress::from_ip_literal(c.text, 7000);
    ASSERT_EQ(address.has_value(), c.written != nullptr);
    if (!address) continue;
    EXPECT_EQ(address->is_ipv6(), c.ipv6);
    EXPECT_EQ(address->port(), 7000);
    EXPECT_EQ(address->to_string(), c.written);
  }
  EXPECT_EQ(SocketAddress::from_ip_literal("2001:db8::2", 1)->ip_string(), "2001:db8::2");
}

TEST(SocketAddress, Ipv6CarriesNoFlowInformationOrScope) {
  const auto address = SocketAddress::of(
      IpAddress::v6({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2}), 6001);
  ASSERT_EQ(address.native_size(), sizeof(sockaddr_in6));
  const auto* raw = reinterpret_cast<const sockaddr_in6*>(address.native());
  EXPECT_EQ(raw->sin6_flowinfo, 0u);
  EXPECT_EQ(raw->sin6_scope_id, 0u);
  EXPECT_EQ(address.port(), 6001);
  EXPECT_EQ(address, *SocketAddress::from_ip_literal("2001:db8::2", 6001));
}

TEST(SocketAddress, FromNativeTakesOnlyInternetFamilies) {
  sockaddr_storage unix_family{};
  unix_family.ss_family = AF_UNIX;
  EXPECT_FALSE(SocketAddress::from_native(unix_family, sizeof unix_family));
  const SocketAddress v4 = SocketAddress::loopback_v4(5353);
  sockaddr_storage copy{};
  std::memcpy(&copy, v4.native(), v4.native_size());
  EXPECT_FALSE(SocketAddress::from_native(copy, v4.native_size() - 1)) << "a short size is refused";
  EXPECT_EQ(SocketAddress::from_native(copy, v4.native_size()), v4);
}

}  // namespace
}  // namespace kestrune::platform
