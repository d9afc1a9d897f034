#include "engine/wire/audio_cipher.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

#include "tests/support/openssl_reference.hpp"

namespace kestrune::engine {
namespace {

std::vector<std::uint8_t> bytes_of(std::string_view text) { return {text.begin(), text.end()}; }

// RFC 8439 section 2.8.2: the AEAD example.
TEST(AudioCipher, SealsTheRfc8439Example) {
  AeadKey key{};
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(0x80 + i);
  const std::array<std::uint8_t, 12> nonce = {0x07, 0x00, 0x00, 0x00, 0x40, 0x41,
                                              0x42, 0x43, 0x44, 0x45, 0x46, 0x47};
  const std::array<std::uint8_t, 12> aad = {0x50, 0x51, 0x52, 0x53, 0xc0, 0xc1,
                                            0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7};
  std::vector<std::uint8_t> text = bytes_of(
      "Ladies and Gentlemen of the class of '99: If I could offer you only one tip for the "
      "future, sunscreen would be it.");
  const std::vector<std::uint8_t> expected_ciphertext = {
      0xd3, 0x1a, 0x8d, 0x34, 0x64, 0x8e, 0x60, 0xdb, 0x7b, 0x86, 0xaf, 0xbc, 0x53, 0xef, 0x7e,
      0xc2, 0xa4, 0xad, 0xed, 0x51, 0x29, 0x6e, 0x08, 0xfe, 0xa9, 0xe2, 0xb5, 0xa7, 0x36, 0xee,
      0x62, 0xd6, 0x3d, 0xbe, 0xa4, 0x5e, 0x8c, 0xa9, 0x67, 0x12, 0x82, 0xfa, 0xfb, 0x69, 0xda,
      0x92, 0x72, 0x8b, 0x1a, 0x71, 0xde, 0x0a, 0x9e, 0x06, 0x0b, 0x29, 0x05, 0xd6, 0xa5, 0xb6,
      0x7e, 0xcd, 0x3b, 0x36, 0x92, 0xdd, 0xbd, 0x7f, 0x2d, 0x77, 0x8b, 0x8c, 0x98, 0x03, 0xae,
      0xe3, 0x28, 0x09, 0x1b, 0x58, 0xfa, 0xb3, 0x24, 0xe4, 0xfa, 0xd6, 0x75, 0x94, 0x55, 0x85,
      0x80, 0x8b, 0x48, 0x31, 0xd7, 0xbc, 0x3f, 0xf4, 0xde, 0xf0, 0x8e, 0x4b, 0x7a, 0x9d, 0xe5,
      0x76, 0xd2, 0x65, 0x86, 0xce, 0xc6, 0x4b, 0x61, 0x16};
  const std::array<std::uint8_t, 16> expected_tag = {0x1a, 0xe1, 0x0b, 0x59, 0x4f, 0x09,
                                                     0xe2, 0x6a, 0x7e, 0x90, 0x2e, 0xcb,
                                                     0xd0, 0x60, 0x06, 0x91};
  AeadCipher cipher;
  std::array<std::uint8_t, 16> tag{};
  ASSERT_TRUE(cipher.seal(key, nonce, aad, text, text, tag));
  EXPECT_EQ(text, expected_ciphertext);
  EXPECT_EQ(tag, expected_tag);
}

TEST(AudioCipher, EveryPacketIsSealedAfreshOnTheReusedContext) {
  // Sealing A, B, then A again under the same key gives the same bytes for both A's: nothing of
  // the previous packet (key stream position, MAC state) carries over.
  AeadKey key{};
  key.fill(0x42);
  AeadCipher cipher;
  auto seal = [&](std::uint16_t sequence_number, std::uint8_t fill) {
    std::vector<std::uint8_t> payload(1408, fill);
    auto trailer = encrypt_audio_payload(cipher, key, sequence_number, 352, 0, payload);
    EXPECT_TRUE(trailer);
    payload.insert(payload.end(), trailer->tag.begin(), trailer->tag.end());
    return payload;
  };
  const auto first = seal(7, 0x11);
  const auto other = seal(8, 0x22);
  const auto again = seal(7, 0x11);
  EXPECT_EQ(first, again);
  EXPECT_NE(first, other);
}

TEST(AudioCipher, NonceTailIsTheSequenceNumberLittleEndian) {
  struct Case {
    std::uint16_t sequence_number;
    std::array<std::uint8_t, 8> tail;
  };
  const Case cases[] = {
      {0x0000, {0, 0, 0, 0, 0, 0, 0, 0}},
      {0x1234, {0x34, 0x12, 0, 0, 0, 0, 0, 0}},
      {0xFFFF, {0xFF, 0xFF, 0, 0, 0, 0, 0, 0}},
  };
  AeadKey key{};
  key.fill(9);
  AeadCipher cipher;
  for (const Case& c : cases) {
    std::vector<std::uint8_t> payload(16, 0);
    const auto trailer = encrypt_audio_payload(cipher, key, c.sequence_number, 0, 0, payload);
    ASSERT_TRUE(trailer);
    EXPECT_EQ(trailer->nonce_tail, c.tail) << c.sequence_number;
  }
}

}  // namespace
}  // namespace kestrune::engine
