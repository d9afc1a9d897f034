#include "shell/session_config_from_payload.hpp"

#include <limits>
#include <string>

#include <gtest/gtest.h>

namespace kestrune::shell {
namespace {

struct AddressCase {
  const char* text;
  bool accepted;
};

// Test names and failure messages show the case, not its bytes.
void PrintTo(const AddressCase& c, std::ostream* os) { *os << '"' << c.text << '"'; }

class AddressLiteral : public ::testing::TestWithParam<AddressCase> {};

TEST_P(AddressLiteral, FollowsTheLiteralGrammar) {
  EXPECT_EQ(parse_address_literal(GetParam().text).has_value(), GetParam().accepted)
      << '"' << GetParam().text << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Ipv4, AddressLiteral,
    ::testing::Values(AddressCase{"192.168.1.20", true}, AddressCase{"0.0.0.0", true},
                      AddressCase{"255.255.255.255", true}, AddressCase{"10.0.0.1", true},
                      AddressCase{"256.1.1.1", false}, AddressCase{"1.2.3", false},
                      AddressCase{"1.2.3.4.5", false}, AddressCase{"1.2.3.001", false},
                      AddressCase{"01.2.3.4", false}, AddressCase{"1..2.3", false},
                      AddressCase{"1.2.3.4.", false}, AddressCase{" 1.2.3.4", false},
                      AddressCase{"1.2.3.4 ", false}, AddressCase{"1.2.3.1234", false},
                      AddressCase{"1.2.3.-4", false}, AddressCase{"1.2.3.0x4", false},
                      AddressCase{"", false}, AddressCase{"localhost", false},
                      AddressCase{"00.1.2.3", false}, AddressCase{"1.2.3.0255", false},
                      AddressCase{"1.2.3.4\n", false}, AddressCase{"1.2.3.4/32", false},
                      AddressCase{"1.2.3.4:7000", false}, AddressCase{"+1.2.3.4", false},
                      AddressCase{"\xEF\xBC\x91.2.3.4", false}));

INSTANTIATE_TEST_SUITE_P(
    Ipv6, AddressLiteral,
    ::testing::Values(
        AddressCase{"::", true}, AddressCase{"::1", true}, AddressCase{"1::", true},
        AddressCase{"fe80::1:2", true}, AddressCase{"2001:DB8:0:0:8:800:200C:417A", true},
        AddressCase{"0001:0002:0003:0004:0005:0006:0007:0008", true},
        AddressCase{"1:2:3:4:5:6:7::", true}, AddressCase{"::2:3:4:5:6:7:8", true},
        AddressCase{"::ffff:192.168.1.20", true}, AddressCase{"1:2:3:4:5:6:1.2.3.4", true},
        AddressCase{"::1.2.3.4", true}, AddressCase{"1:2:3:4:5:6:7", false},
        AddressCase{"1:2:3:4:5:6:7:8:9", false}, AddressCase{"1:2:3:4:5:6:7:8::", false},
        AddressCase{"::1:2:3:4:5:6:7:8", false}, AddressCase{"1::2::3", false},
        AddressCase{":::", false}, AddressCase{":1::", false}, AddressCase{"1::2:", false},
        AddressCase{"12345::", false}, AddressCase{"g::", false},
        AddressCase{"fe80::1%eth0", false}, AddressCase{"[::1]", false},
        AddressCase{"::1/128", false}, AddressCase{"1.2.3.4::", false},
        AddressCase{"1:2:3:4:5:6:7:1.2.3.4", false}, AddressCase{"1.2.3.4:1::", false},
        AddressCase{"::ffff:1.2.3.04", false}, AddressCase{"::ffff:1.2.3", false},
        AddressCase{" ::1", false}, AddressCase{"1:2:3:4:5:6:7:8", true},
        AddressCase{"1:2:3:4:5::1.2.3.4", true}, AddressCase{"AbCd::eF01", true},
        AddressCase{"1:2:3:4:5:6::1.2.3.4", false}, AddressCase{"::ffff:256.1.1.1", false},
        AddressCase{"::1.2.3.4:5", false}, AddressCase{"1:2:3:4:5:6:7:8 ", false},
        AddressCase{"::1::", false}, AddressCase{"-1::", false}, AddressCase{"0x1::", false}));

TEST(AddressLiteral, KeepsTheBytesInNetworkOrder) {
  const auto v4 = parse_address_literal("192.168.1.20");
  ASSERT_TRUE(v4);
  EXPECT_EQ(v4->family, platform::IpAddress::Family::v4);
  EXPECT_EQ((std::array<std::uint8_t, 4>{v4->bytes[0], v4->bytes[1], v4->bytes[2], v4->bytes[3]}),
            (std::array<std::uint8_t, 4>{192, 168, 1, 20}));

  const auto v6 = parse_address_literal("2001:db8::ffff:1.2.3.4");
  ASSERT_TRUE(v6);
  EXPECT_EQ(v6->family, platform::IpAddress::Family::v6);
  EXPECT_EQ(v6->bytes, (std::array<std::uint8_t, 16>{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0xff,
                                                     0xff, 1, 2, 3, 4}));
  const auto tail = parse_address_literal("1::2:3");
  ASSERT_TRUE(tail);
  EXPECT_EQ(tail->bytes,
            (std::array<std::uint8_t, 16>{0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 3}));
}

struct FeaturesCase {
  std::string text;
  std::optional<std::uint64_t> value;
};

// Test names and failure messages show the case, not its bytes.
void PrintTo(const FeaturesCase& c, std::ostream* os) { *os << '"' << c.text << '"'; }

class FeaturesHex : public ::testing::TestWithParam<FeaturesCase> {};

TEST_P(FeaturesHex, FollowsTheFeatureGrammar) {
  EXPECT_EQ(parse_features_hex(GetParam().text), GetParam().value) << '"' << GetParam().text << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Table, FeaturesHex,
    ::testing::Values(FeaturesCase{"0x0", 0}, FeaturesCase{"0X1F", 31}, FeaturesCase{"1f", 31},
                      FeaturesCase{"+1f", 31}, FeaturesCase{"0x+1f", 31},
                      FeaturesCase{std::string(20, '0') + "1f", 31},
                      FeaturesCase{"ffffffffffffffff", std::numeric_limits<std::uint64_t>::max()},
                      FeaturesCase{"0x445F8A00,1C340", std::nullopt},
                      FeaturesCase{"1" + std::string(16, '0'), std::nullopt},
                      FeaturesCase{"0x", std::nullopt}, FeaturesCase{"", std::nullopt},
                      FeaturesCase{"+", std::nullopt}, FeaturesCase{"0x+", std::nullopt},
                      FeaturesCase{"-1", std::nullopt}, FeaturesCase{"0x-1", std::nullopt},
                      FeaturesCase{"0x0x1", std::nullopt}, FeaturesCase{"++1", std::nullopt},
                      FeaturesCase{"+0x1", std::nullopt}, FeaturesCase{"1 f", std::nullopt},
                      FeaturesCase{" 1f", std::nullopt}, FeaturesCase{"1g", std::nullopt}));

StartSessionPayload payload_with_addresses(std::size_t count) {
  StartSessionPayload payload;
  payload.device.stableId = " dev_1 ";
  payload.device.displayName = "Kitchen";
  payload.device.port = 7000;
  payload.initialVolume = 0.25F;
  for (std::size_t i = 0; i < count; ++i) {
    payload.device.addresses.push_back("10.0.0." + std::to_string(i + 1));
  }
  return payload;
}

TEST(SessionConfigFromPayload, AddressCountIsCheckedBeforeAnyEntry) {
  EXPECT_TRUE(session_config_from_payload(payload_with_addresses(0)));
  const auto sixteen = session_config_from_payload(payload_with_addresses(16));
  ASSERT_TRUE(sixteen);
  EXPECT_EQ(sixteen->addresses.size(), 16U);
  EXPECT_EQ(sixteen->addresses[15], platform::IpAddress::v4(10, 0, 0, 16));

  const auto seventeen = session_config_from_payload(payload_with_addresses(17));
  ASSERT_FALSE(seventeen);
  EXPECT_EQ(seventeen.error(), protocol_errors::kInvalidPayload);

  StartSessionPayload bad_entry = payload_with_addresses(2);
  bad_entry.device.addresses.push_back("fe80::1%eth0");
  EXPECT_FALSE(session_config_from_payload(bad_entry));

  StartSessionPayload duplicates = payload_with_addresses(1);
  duplicates.device.addresses.push_back("::1");
  duplicates.device.addresses.push_back("10.0.0.1");
  const auto kept = session_config_from_payload(duplicates);
  ASSERT_TRUE(kept);
  EXPECT_EQ(kept->addresses,
            (std::vector<platform::IpAddress>{platform::IpAddress::v4(10, 0, 0, 1),
                                              *parse_address_literal("::1"),
                                              platform::IpAddress::v4(10, 0, 0, 1)}));
}

TEST(SessionConfigFromPayload, TakesTheDeviceAndSourceOverUnchanged) {
  StartSessionPayload payload = payload_with_addresses(1);
  const auto plain = session_config_from_payload(payload);
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->stableId, " dev_1 ");
  EXPECT_EQ(plain->displayName, "Kitchen");
  EXPECT_EQ(plain->model, std::nullopt);
  EXPECT_EQ(plain->port, 7000);
  EXPECT_EQ(plain->initialVolume, 0.25F);
  EXPECT_EQ(plain->audioSource, engine::AudioSource::default_output());
  EXPECT_EQ(plain->featureBits, std::nullopt);
  EXPECT_EQ(plain->maxDuration, std::nullopt);

  payload.device.model = "AudioAccessory5,1";
  payload.audioSource = AudioSourcePayload{AudioSourcePayload::Kind::file, " ./a b.wav"};
  payload.initialVolume = std::numeric_limits<float>::infinity();  // left to the session core
  const auto given = session_config_from_payload(payload);
  ASSERT_TRUE(given);
  EXPECT_EQ(given->model, "AudioAccessory5,1");
  EXPECT_EQ(given->audioSource, engine::AudioSource::file(" ./a b.wav"));
  EXPECT_EQ(given->initialVolume, std::numeric_limits<float>::infinity());
}

TEST(SessionConfigFromPayload, FeaturesBufferProfileAndDuration) {
  StartSessionPayload payload = payload_with_addresses(1);
  auto plain = session_config_from_payload(payload);
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->bufferProfile,
            (engine::BufferProfile{150, 90, 50, std::chrono::milliseconds(250)}));

  payload.device.featuresHex = "0x1F";
  payload.bufferProfile = BufferProfilePayload{5000, 1, 95, 250};
  payload.maxDurationMs = 1;
  auto given = session_config_from_payload(payload);
  ASSERT_TRUE(given);
  EXPECT_EQ(given->featureBits, 31U);
  EXPECT_EQ(given->bufferProfile,
            (engine::BufferProfile{5000, 1, 95, std::chrono::milliseconds(250)}));
  EXPECT_EQ(given->maxDuration, std::chrono::milliseconds(1));

  // Values out of the session core's ranges pass here.
  payload.bufferProfile = BufferProfilePayload{50, 0, 200, 0};
  given = session_config_from_payload(payload);
  ASSERT_TRUE(given);
  EXPECT_EQ(given->bufferProfile, (engine::BufferProfile{50, 0, 200, {}}));

  payload.maxDurationMs = 0;
  EXPECT_FALSE(session_config_from_payload(payload));
  payload.maxDurationMs = 1;
  payload.device.featuresHex = "0x";
  EXPECT_FALSE(session_config_from_payload(payload));
}

TEST(SessionConfigFromPayload, HugeDurationsSaturateInsteadOfWrapping) {
  StartSessionPayload payload = payload_with_addresses(1);
  payload.maxDurationMs = std::numeric_limits<std::uint64_t>::max();
  payload.bufferProfile =
      BufferProfilePayload{150, 90, 50, std::numeric_limits<std::uint64_t>::max()};
  const auto config = session_config_from_payload(payload);
  ASSERT_TRUE(config);
  EXPECT_EQ(config->maxDuration, std::chrono::nanoseconds::max());
  EXPECT_EQ(config->bufferProfile.startMaxWait, std::chrono::nanoseconds::max());
}

}  // namespace
}  // namespace kestrune::shell
