#include "discovery/keyed_hash.hpp"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <numeric>
#include <vector>

namespace kestrune::discovery {
namespace {

// OpenSSL's SipHash-2-4 (64-bit output, little-endian) as the reference.
std::uint64_t reference_siphash(const SipHashKey& key, const std::vector<std::uint8_t>& bytes) {
  EVP_MAC* mac = EVP_MAC_fetch(nullptr, "SIPHASH", nullptr);
  EVP_MAC_CTX* context = EVP_MAC_CTX_new(mac);
  unsigned int size = 8;
  const OSSL_PARAM params[] = {OSSL_PARAM_construct_uint("size", &size), OSSL_PARAM_END};
  std::uint8_t out[8] = {};
  std::size_t out_length = 0;
  const bool ok = context != nullptr &&
                  EVP_MAC_init(context, key.data(), key.size(), params) == 1 &&
                  EVP_MAC_update(context, bytes.data(), bytes.size()) == 1 &&
                  EVP_MAC_final(context, out, &out_length, sizeof out) == 1 && out_length == 8;
  EVP_MAC_CTX_free(context);
  EVP_MAC_free(mac);
  EXPECT_TRUE(ok);
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = value << 8 | out[i];
  return value;
}

TEST(SipHasher, MatchesTheReferenceForEveryLengthAndSplit) {
  SipHashKey key;
  std::iota(key.begin(), key.end(), std::uint8_t{0});
  std::vector<std::uint8_t> message;
  for (std::size_t length = 0; length < 40; ++length) {
    SCOPED_TRACE(length);
    const std::uint64_t expected = reference_siphash(key, message);
    for (std::size_t split = 0; split <= length; ++split) {
      SipHasher hasher(key);
      hasher.update(std::span(message).first(split));
      hasher.update(std::span(message).subspan(split));
      ASSERT_EQ(hasher.finish(), expected) << "split at " << split;
    }
    message.push_back(static_cast<std::uint8_t>(length));
  }
  // The published first vector: key 00..0f, empty message.
  EXPECT_EQ(SipHasher(key).finish(), 0x726fdb47dd0e0e31ull);
}

TEST(SipHasher, LengthPrefixedTextsDoNotRunTogether) {
  const SipHashKey& key = process_hash_key();
  SipHasher first(key);
  first.update_text("ab");
  first.update_text("c");
  SipHasher second(key);
  second.update_text("a");
  second.update_text("bc");
  EXPECT_NE(first.finish(), second.finish());
}

}  // namespace
}  // namespace kestrune::discovery
