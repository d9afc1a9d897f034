#include "engine/rtsp/control_cipher.hpp"

#include <gtest/gtest.h>

#include "engine/crypto/chacha20_poly1305.hpp"

namespace kestrune::engine {
namespace {

AeadKey key_of(std::uint8_t first) {
  AeadKey key{};
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(first + i);
  return key;
}

struct Frame {
  std::uint16_t n;
  std::vector<std::uint8_t> sealed;  // ciphertext and tag
};

std::vector<Frame> split_frames(const std::vector<std::uint8_t>& wire) {
  std::vector<Frame> frames;
  std::size_t at = 0;
  while (at + 2 <= wire.size()) {
    const auto n = static_cast<std::uint16_t>(wire[at] | (wire[at + 1] << 8));
    const auto begin = wire.begin() + static_cast<std::ptrdiff_t>(at + 2);
    frames.push_back({n, {begin, begin + n + 16}});
    at += 2 + n + 16;
  }
  EXPECT_EQ(at, wire.size());
  return frames;
}

TEST(ControlFrames, MessagesAreCutIntoBlocksOfAtMost1024Bytes) {
  struct Case {
    std::size_t message_size;
    std::vector<std::uint16_t> block_sizes;
  };
  const Case cases[] = {
      {1, {1}}, {1024, {1024}}, {1025, {1024, 1}}, {2048, {1024, 1024}}, {3000, {1024, 1024, 952}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message_size);
    ControlCipher sender(key_of(1), key_of(100));
    ControlCipher receiver(key_of(100), key_of(1));  // the other end's view
    std::vector<std::uint8_t> message(c.message_size);
    for (std::size_t i = 0; i < message.size(); ++i) message[i] = static_cast<std::uint8_t>(i * 7);

    auto wire = encrypt_control_message(sender, message);
    ASSERT_TRUE(wire);
    std::size_t expected_wire = 0;
    for (auto block : c.block_sizes) expected_wire += 2 + block + 16;
    EXPECT_EQ(wire->size(), expected_wire);
    EXPECT_EQ(sender.write_counter, c.block_sizes.size());

    const auto frames = split_frames(*wire);
    ASSERT_EQ(frames.size(), c.block_sizes.size());
    std::vector<std::uint8_t> reassembled;
    for (std::size_t i = 0; i < frames.size(); ++i) {
      EXPECT_EQ(frames[i].n, c.block_sizes[i]);
      auto plaintext = decrypt_control_frame(receiver, frames[i].n, frames[i].sealed);
      ASSERT_TRUE(plaintext) << plaintext.error().describe();
      reassembled.insert(reassembled.end(), plaintext->begin(), plaintext->end());
    }
    EXPECT_EQ(reassembled, message);
    EXPECT_EQ(receiver.read_counter, c.block_sizes.size());
  }
}

TEST(ControlFrames, TheFirstFrameUsesTheAllZeroNonceAndCountersAdvanceTheNonce) {
  ControlCipher sender(key_of(1), key_of(2));
  const std::vector<std::uint8_t> message = {'O', 'P', 'T'};
  auto wire = encrypt_control_message(sender, message);
  ASSERT_TRUE(wire);

  std::vector<std::uint8_t> ciphertext(3);
  AeadTag tag{};
  ASSERT_TRUE(chacha20_poly1305_seal(key_of(1), AeadNonce{}, std::vector<std::uint8_t>{3, 0},
                                     message, ciphertext, tag));
  std::vector<std::uint8_t> expected = {3, 0};
  expected.insert(expected.end(), ciphertext.begin(), ciphertext.end());
  expected.insert(expected.end(), tag.begin(), tag.end());
  EXPECT_EQ(*wire, expected);

  const AeadNonce fifth = control_nonce(0x0102030405060708ULL);
  EXPECT_EQ(fifth, (AeadNonce{0, 0, 0, 0, 8, 7, 6, 5, 4, 3, 2, 1}));
  // The same message sealed again differs: the counter moved the nonce on.
  auto again = encrypt_control_message(sender, message);
  ASSERT_TRUE(again);
  EXPECT_NE(*again, *wire);
}

TEST(ControlFrames, AnAlteredFrameIsRefusedAndTheReadCounterStays) {
  struct Case {
    const char* name;
    std::size_t byte;  // index into [length, ciphertext, tag] of the frame
    bool alter_length;
  };
  const Case cases[] = {
      {"tag", 2 + 10 + 3, false},
      {"ciphertext", 2 + 4, false},
      {"length bytes (authenticated)", 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ControlCipher sender(key_of(1), key_of(2));
    ControlCipher receiver(key_of(2), key_of(1));
    auto wire = encrypt_control_message(sender, std::vector<std::uint8_t>(10, 0x41));
    ASSERT_TRUE(wire);
    std::uint16_t n = 10;
    std::vector<std::uint8_t> sealed(wire->begin() + 2, wire->end());
    if (c.alter_length) {
      // Same ciphertext presented under another length: the associated data no longer matches.
      n = 9;
      sealed.erase(sealed.begin());
    } else {
      sealed[c.byte - 2] ^= 0x20;
    }
    auto opened = decrypt_control_frame(receiver, n, sealed);
    ASSERT_FALSE(opened);
    EXPECT_EQ(opened.error().describe(), "control authentication failed");
    EXPECT_EQ(receiver.read_counter, 0u);
  }
}

TEST(ControlFrames, AnEmptyFrameOpensToNothingAndCounts) {
  ControlCipher receiver(key_of(2), key_of(1));
  std::vector<std::uint8_t> nothing;
  AeadTag tag{};
  ASSERT_TRUE(chacha20_poly1305_seal(key_of(1), control_nonce(0), std::vector<std::uint8_t>{0, 0},
                                     {}, nothing, tag));
  auto opened = decrypt_control_frame(receiver, 0, tag);
  ASSERT_TRUE(opened);
  EXPECT_TRUE(opened->empty());
  EXPECT_EQ(receiver.read_counter, 1u);
}

}  // namespace
}  // namespace kestrune::engine
