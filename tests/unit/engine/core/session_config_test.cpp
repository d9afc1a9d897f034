#include "engine/core/session_config.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <limits>

#include "tests/support/session_result.hpp"

namespace kestrune::engine {
namespace {

using namespace std::chrono_literals;

SessionConfig valid_config() {
  SessionConfig config;
  config.stableId = "dev_1";
  config.displayName = "Kitchen";
  config.addresses = {platform::IpAddress::v4(192, 0, 2, 7)};
  config.port = 7000;
  config.initialVolume = 0.5f;
  return config;
}

TEST(SessionConfig, DefaultsAreTheShellsProfileAndPass) {
  const SessionConfig config = valid_config();
  EXPECT_EQ(config.bufferProfile.capacityMs, 150u);
  EXPECT_EQ(config.bufferProfile.startFillPercent, 90);
  EXPECT_EQ(config.bufferProfile.refillPercent, 50);
  EXPECT_EQ(config.bufferProfile.startMaxWait, 250ms);
  EXPECT_TRUE(config.audioSource.is_default_output());
  EXPECT_TRUE(validate_session_config(config));
}

TEST(SessionConfig, RangeChecksAtTheirBoundaries) {
  constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
  constexpr float kInf = std::numeric_limits<float>::infinity();
  struct Case {
    const char* name;
    std::function<void(SessionConfig&)> change;
    bool passes;
  };
  const Case cases[] = {
      {"stableId three spaces", [](SessionConfig& c) { c.stableId = "   "; }, false},
      {"stableId tab and no-break space", [](SessionConfig& c) { c.stableId = "\t\u00A0"; }, false},
      {"stableId ideographic space", [](SessionConfig& c) { c.stableId = "\u3000"; }, false},
      {"stableId empty", [](SessionConfig& c) { c.stableId = ""; }, false},
      {"stableId one visible character", [](SessionConfig& c) { c.stableId = "x"; }, true},
      {"stableId padded", [](SessionConfig& c) { c.stableId = " \u2003x\n"; }, true},
      {"stableId zero-width space is not white space",
       [](SessionConfig& c) { c.stableId = "\u200B"; }, true},
      {"displayName blank", [](SessionConfig& c) { c.displayName = "\u2028 "; }, false},
      {"port 0", [](SessionConfig& c) { c.port = 0; }, false},
      {"no addresses", [](SessionConfig& c) { c.addresses.clear(); }, false},
      {"only a loopback IPv6 address",
       [](SessionConfig& c) {
         std::array<std::uint8_t, 16> loopback{};
         loopback[15] = 1;
         c.addresses = {platform::IpAddress::v6(loopback)};
       },
       true},
      {"volume NaN", [=](SessionConfig& c) { c.initialVolume = kNan; }, false},
      {"volume infinity", [=](SessionConfig& c) { c.initialVolume = kInf; }, false},
      {"volume -0.1", [](SessionConfig& c) { c.initialVolume = -0.1f; }, false},
      {"volume 1.0001", [](SessionConfig& c) { c.initialVolume = 1.0001f; }, false},
      {"volume 0.0", [](SessionConfig& c) { c.initialVolume = 0.0f; }, true},
      {"volume -0.0", [](SessionConfig& c) { c.initialVolume = -0.0f; }, true},
      {"volume 1.0", [](SessionConfig& c) { c.initialVolume = 1.0f; }, true},
      {"capacity 99", [](SessionConfig& c) { c.bufferProfile.capacityMs = 99; }, false},
      {"capacity 100", [](SessionConfig& c) { c.bufferProfile.capacityMs = 100; }, true},
      {"capacity 5000", [](SessionConfig& c) { c.bufferProfile.capacityMs = 5000; }, true},
      {"capacity 5001", [](SessionConfig& c) { c.bufferProfile.capacityMs = 5001; }, false},
      {"start fill 0", [](SessionConfig& c) { c.bufferProfile.startFillPercent = 0; }, false},
      {"start fill 1", [](SessionConfig& c) { c.bufferProfile.startFillPercent = 1; }, true},
      {"start fill 91", [](SessionConfig& c) { c.bufferProfile.startFillPercent = 91; }, false},
      {"refill 0", [](SessionConfig& c) { c.bufferProfile.refillPercent = 0; }, false},
      {"refill 95", [](SessionConfig& c) { c.bufferProfile.refillPercent = 95; }, true},
      {"refill 96", [](SessionConfig& c) { c.bufferProfile.refillPercent = 96; }, false},
      {"start wait 99.999999 ms",
       [](SessionConfig& c) { c.bufferProfile.startMaxWait = 99'999'999ns; }, false},
      {"start wait 100 ms", [](SessionConfig& c) { c.bufferProfile.startMaxWait = 100ms; }, true},
      {"start wait 10 s", [](SessionConfig& c) { c.bufferProfile.startMaxWait = 10s; }, true},
      {"start wait 10.000000001 s",
       [](SessionConfig& c) { c.bufferProfile.startMaxWait = 10s + 1ns; }, false},
  };
  for (const Case& c : cases) {
    SessionConfig config = valid_config();
    c.change(config);
    const SessionError result =
        kestrune::testing::session_result_of(validate_session_config(config));
    if (c.passes) {
      EXPECT_TRUE(result.is_success()) << c.name;
    } else {
      EXPECT_EQ(result,
                SessionError(SessionErrorKind::config_error, SessionStage::validate_config, false))
          << c.name;
    }
  }
}

TEST(SessionConfig, AddressChoicePrefersIpv4ThenRoutableIpv6ThenTheFirstEntry) {
  auto v6 = [](std::uint8_t first, std::uint8_t second, std::uint8_t last) {
    std::array<std::uint8_t, 16> bytes{};
    bytes[0] = first;
    bytes[1] = second;
    bytes[15] = last;
    return platform::IpAddress::v6(bytes);
  };
  const platform::IpAddress loopback = v6(0, 0, 1);
  const platform::IpAddress link_local = v6(0xFE, 0x80, 1);
  const platform::IpAddress link_local_top = v6(0xFE, 0xBF, 1);
  const platform::IpAddress site_local = v6(0xFE, 0xC0, 1);  // outside fe80::/10
  const platform::IpAddress documentation = v6(0x20, 0x01, 2);
  const platform::IpAddress ipv4 = platform::IpAddress::v4(192, 0, 2, 7);
  struct Case {
    std::vector<platform::IpAddress> addresses;
    platform::IpAddress chosen;
  };
  const Case cases[] = {
      {{link_local, documentation}, documentation},
      {{loopback, link_local}, loopback},
      {{documentation, ipv4}, ipv4},
      {{link_local_top, site_local}, site_local},
      {{link_local, loopback, link_local_top}, link_local},
  };
  for (const Case& c : cases) {
    const auto chosen = choose_session_address(c.addresses);
    ASSERT_TRUE(chosen.has_value());
    EXPECT_EQ(*chosen, c.chosen);
  }
  EXPECT_FALSE(choose_session_address({}).has_value());
}

TEST(SessionConfig, MillisecondsSaturateInsteadOfOverflowing) {
  EXPECT_EQ(saturating_millis(1), 1ms);
  EXPECT_EQ(saturating_millis(250), 250ms);
  EXPECT_EQ(saturating_millis(std::numeric_limits<std::uint64_t>::max()),
            std::chrono::nanoseconds::max());
}

}  // namespace
}  // namespace kestrune::engine
