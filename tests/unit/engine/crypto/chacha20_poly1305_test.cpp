#include "engine/crypto/chacha20_poly1305.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "tests/vectors/vector_file.hpp"

namespace kestrune::engine {
namespace {

using testing::VectorFile;

AeadKey key_of(std::uint8_t first) {
  AeadKey key{};
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(first + i);
  return key;
}

// RFC 8439, section 2.8.2.
TEST(ChaCha20Poly1305, MatchesTheRfc8439AeadVector) {
  const std::string plaintext =
      "Ladies and Gentlemen of the class of '99: If I could offer you only one tip for the future, "
      "sunscreen would be it.";
  const auto aad = VectorFile::from_hex("50515253c0c1c2c3c4c5c6c7");
  const auto nonce_bytes = VectorFile::from_hex("070000004041424344454647");
  const auto expected_ciphertext = VectorFile::from_hex(
      "d31a8d34648e60db7b86afbc53ef7ec2a4aded51296e08fea9e2b5a736ee62d63dbea45e8ca9671282fafb69da"
      "92728b1a71de0a9e060b2905d6a5b67ecd3b3692ddbd7f2d778b8c9803aee328091b58fab324e4fad675945585"
      "808b4831d7bc3ff4def08e4b7a9de576d26586cec64b6116");
  const auto expected_tag = VectorFile::from_hex("1ae10b594f09e26a7e902ecbd0600691");
  const AeadKey key = key_of(0x80);
  AeadNonce nonce{};
  std::copy(nonce_bytes.begin(), nonce_bytes.end(), nonce.begin());
  const std::span<const std::uint8_t> message(
      reinterpret_cast<const std::uint8_t*>(plaintext.data()), plaintext.size());

  std::vector<std::uint8_t> ciphertext(message.size());
  AeadTag tag{};
  ASSERT_TRUE(chacha20_poly1305_seal(key, nonce, aad, message, ciphertext, tag));
  EXPECT_EQ(ciphertext, expected_ciphertext);
  EXPECT_EQ(std::vector<std::uint8_t>(tag.begin(), tag.end()), expected_tag);

  std::vector<std::uint8_t> opened(ciphertext.size());
  ASSERT_TRUE(chacha20_poly1305_open(key, nonce, aad, ciphertext, tag, opened));
  EXPECT_EQ(std::string(opened.begin(), opened.end()), plaintext);
  tag[15] ^= 0x01;
  EXPECT_FALSE(chacha20_poly1305_open(key, nonce, aad, ciphertext, tag, opened));
  EXPECT_EQ(opened, std::vector<std::uint8_t>(opened.size(), 0));
}

}  // namespace
}  // namespace kestrune::engine
