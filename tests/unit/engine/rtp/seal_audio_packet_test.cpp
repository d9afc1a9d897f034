#include "engine/rtp/seal_audio_packet.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "tests/support/openssl_reference.hpp"

namespace kestrune::engine {
namespace {

AeadKey test_key() {
  AeadKey key{};
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(3 * i + 1);
  return key;
}

std::vector<std::int16_t> ramp_samples() {
  std::vector<std::int16_t> samples(kSamplesPerPacket);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    samples[i] = static_cast<std::int16_t>(static_cast<int>(i * 97) - 30000);
  }
  return samples;
}

std::array<std::uint8_t, 12> nonce_of(std::span<const std::uint8_t> packet) {
  std::array<std::uint8_t, 12> nonce{};
  std::copy(packet.end() - 8, packet.end(), nonce.begin() + 4);
  return nonce;
}

class AudioPacketTest : public ::testing::Test {
 protected:
  std::shared_ptr<PacketHistory> history = new_packet_history();
  RtpSenderState state{history, test_key()};
  const std::vector<std::int16_t> silence = std::vector<std::int16_t>(kSamplesPerPacket, 0);
};

TEST_F(AudioPacketTest, HeaderOfTheFirstAndLaterPacketsAlsoAfterTheSequenceWraps) {
  struct Expected {
    std::size_t packet_index;
    std::uint8_t marker_byte;
    std::uint16_t sequence_number;
  };
  const Expected expected[] = {
      {0, 0xE0, 0}, {1, 0x60, 1}, {65535, 0x60, 65535}, {65536, 0x60, 0}, {65537, 0x60, 1}};
  std::size_t next = 0;
  for (std::size_t index = 0; index <= 65537; ++index) {
    const auto timestamp = static_cast<std::uint32_t>(index * kFramesPerPacket);
    auto packet = seal_audio_packet(state, timestamp, silence);
    ASSERT_TRUE(packet);
    if (next == std::size(expected) || expected[next].packet_index != index) continue;
    const Expected& e = expected[next++];
    const std::array<std::uint8_t, 12> header = {0x80,
                                                 e.marker_byte,
                                                 static_cast<std::uint8_t>(e.sequence_number >> 8),
                                                 static_cast<std::uint8_t>(e.sequence_number),
                                                 static_cast<std::uint8_t>(timestamp >> 24),
                                                 static_cast<std::uint8_t>(timestamp >> 16),
                                                 static_cast<std::uint8_t>(timestamp >> 8),
                                                 static_cast<std::uint8_t>(timestamp),
                                                 0,
                                                 0,
                                                 0,
                                                 0};
    EXPECT_TRUE(std::equal(header.begin(), header.end(), packet->begin())) << index;
    EXPECT_EQ(packet->size(), 1444u);
  }
  EXPECT_EQ(next, std::size(expected));
  EXPECT_FALSE(state.marker_pending);
  EXPECT_EQ(state.sequence_number, 2);
}

TEST_F(AudioPacketTest, ASilentPacketIsTheKeyStreamFromBlockCounterOne) {
  state.sequence_number = 0x1234;
  auto packet = seal_audio_packet(state, 0, silence);
  ASSERT_TRUE(packet);
  const std::span<const std::uint8_t> bytes(*packet);
  const std::array<std::uint8_t, 8> tail = {0x34, 0x12, 0, 0, 0, 0, 0, 0};
  EXPECT_TRUE(std::equal(tail.begin(), tail.end(), bytes.end() - 8));
  const std::array<std::uint8_t, 12> nonce = {0, 0, 0, 0, 0x34, 0x12, 0, 0, 0, 0, 0, 0};
  const auto stream = testing::chacha20_key_stream(test_key(), nonce, 1, kAudioPayloadBytes);
  EXPECT_TRUE(std::equal(stream.begin(), stream.end(), bytes.begin() + kRtpHeaderBytes));
}

TEST_F(AudioPacketTest, ZeroKeyAndSequenceZeroGiveTheRfc8439KeyStreamVector) {
  // RFC 8439 appendix A.1, test vector 2: all-zero key and nonce, block counter 1.
  const std::array<std::uint8_t, 64> block_one = {
      0x9f, 0x07, 0xe7, 0xbe, 0x55, 0x51, 0x38, 0x7a, 0x98, 0xba, 0x97, 0x7c, 0x73,
      0x2d, 0x08, 0x0d, 0xcb, 0x0f, 0x29, 0xa0, 0x48, 0xe3, 0x65, 0x69, 0x12, 0xc6,
      0x53, 0x3e, 0x32, 0xee, 0x7a, 0xed, 0x29, 0xb7, 0x21, 0x76, 0x9c, 0xe6, 0x4e,
      0x43, 0xd5, 0x71, 0x33, 0xb0, 0x74, 0xd8, 0x39, 0xd5, 0x31, 0xed, 0x1f, 0x28,
      0x51, 0x0a, 0xfb, 0x45, 0xac, 0xe1, 0x0a, 0x1f, 0x4b, 0x79, 0x4d, 0x6f};
  RtpSenderState zero_key_state(new_packet_history(), AeadKey{});
  auto packet = seal_audio_packet(zero_key_state, 0, silence);
  ASSERT_TRUE(packet);
  EXPECT_TRUE(std::equal(block_one.begin(), block_one.end(), packet->begin() + kRtpHeaderBytes));
}

TEST_F(AudioPacketTest, TheTagCoversTheTimestampAndSsrcAndOpensToTheBigEndianSamples) {
  const auto samples = ramp_samples();
  state.sequence_number = 77;
  auto sealed = seal_audio_packet(state, 0x01020304, samples);
  ASSERT_TRUE(sealed);
  const std::span<const std::uint8_t> packet(*sealed);
  const auto ciphertext = packet.subspan(kRtpHeaderBytes, kAudioPayloadBytes);
  const auto tag = packet.subspan<kRtpHeaderBytes + kAudioPayloadBytes, 16>();
  const auto nonce = nonce_of(packet);

  auto opened =
      testing::chacha20_poly1305_open(test_key(), nonce, packet.subspan(4, 8), ciphertext, tag);
  ASSERT_TRUE(opened);
  std::vector<std::uint8_t> big_endian;
  for (const std::int16_t sample : samples) {
    big_endian.push_back(static_cast<std::uint8_t>(static_cast<std::uint16_t>(sample) >> 8));
    big_endian.push_back(static_cast<std::uint8_t>(sample & 0xFF));
  }
  EXPECT_EQ(*opened, big_endian);

  // Any change to the authenticated header bytes (offsets 4 to 11) breaks the tag.
  for (std::size_t offset = 4; offset < 12; ++offset) {
    std::vector<std::uint8_t> aad(packet.begin() + 4, packet.begin() + 12);
    aad[offset - 4] ^= 0x01;
    EXPECT_FALSE(testing::chacha20_poly1305_open(test_key(), nonce, aad, ciphertext, tag))
        << offset;
  }
}

TEST_F(AudioPacketTest, TheHistoryKeepsTheExactPacketUnderItsSequenceNumber) {
  auto first = seal_audio_packet(state, 0, ramp_samples());
  ASSERT_TRUE(first);
  std::vector<std::uint8_t> stored;
  ASSERT_TRUE(history->append_packet_to(0, stored));
  EXPECT_EQ(stored, *first);
  EXPECT_FALSE(history->append_packet_to(1, stored));
}

TEST_F(AudioPacketTest, ShortPayloadsKeepTheLayout) {
  const std::vector<std::int16_t> two_frames = {1, -1, 0x7FFF, -0x8000};
  auto packet = seal_audio_packet(state, 9, two_frames);
  ASSERT_TRUE(packet);
  EXPECT_EQ(packet->size(), two_frames.size() * 2 + kAudioPacketOverheadBytes);
}

}  // namespace
}  // namespace kestrune::engine
