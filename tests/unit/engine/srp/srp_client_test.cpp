#include "engine/srp/srp_client.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "engine/srp/srp_group.hpp"
#include "tests/vectors/vector_file.hpp"

namespace kestrune::engine {
namespace {

using testing::VectorFile;

std::vector<std::uint8_t> bytes_of(const Sha512Digest& digest) {
  return {digest.begin(), digest.end()};
}

std::vector<std::uint8_t> big_endian(const BIGNUM* value) {
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(BN_num_bytes(value)));
  BN_bn2bin(value, bytes.data());
  return bytes;
}

class SrpVectorTest : public ::testing::Test {
 protected:
  SrpClient make_client() {
    const auto& a = vectors_.bytes("private_a");
    auto client = srp_client_from_private_value(
        vectors_.bytes("identity"), vectors_.bytes("password"),
        std::span<const std::uint8_t, kSrpPrivateValueSize>(a.data(), kSrpPrivateValueSize));
    EXPECT_TRUE(client) << client.error().describe();
    return std::move(*client);
  }

  const VectorFile vectors_ = VectorFile::load("srp_exchange.txt");
};

TEST_F(SrpVectorTest, OneExchangeMatchesTheIndependentImplementation) {
  SrpClient client = make_client();
  auto padded_a = srp_pad(client.public_value());
  ASSERT_TRUE(padded_a);
  EXPECT_EQ(*padded_a, vectors_.bytes("public_a"));

  auto result = srp_process_challenge(client, vectors_.bytes("salt"), vectors_.bytes("public_b"));
  ASSERT_TRUE(result) << result.error().describe();
  EXPECT_EQ(bytes_of(result->session_key), vectors_.bytes("session_key"));
  EXPECT_EQ(bytes_of(result->client_proof), vectors_.bytes("client_proof"));
  EXPECT_TRUE(client.challenge_processed());
  EXPECT_TRUE(srp_verify_server_proof(client, vectors_.bytes("server_proof")));
}

TEST_F(SrpVectorTest, GroupAndMultiplierAreThoseOfTheVectors) {
  auto derived = srp_compute_x_k(vectors_.bytes("identity"), vectors_.bytes("password"),
                                 vectors_.bytes("salt"));
  ASSERT_TRUE(derived);
  EXPECT_EQ(big_endian(derived->k.get()), vectors_.bytes("k"));
  EXPECT_EQ(BN_num_bytes(srp_prime()), 384);
  EXPECT_EQ(BN_get_word(srp_generator()), 5u);
}

TEST_F(SrpVectorTest, BIsReadAsAnIntegerWhateverItsLength) {
  // The same B once as a single byte and once filled to 384 bytes with leading zeros.
  std::vector<std::uint8_t> padded(384, 0);
  padded.back() = 2;
  SrpClient short_form = make_client();
  SrpClient long_form = make_client();
  auto from_short = srp_process_challenge(short_form, vectors_.bytes("salt"), {{2}});
  auto from_long = srp_process_challenge(long_form, vectors_.bytes("salt"), padded);
  ASSERT_TRUE(from_short && from_long);
  EXPECT_EQ(from_short->session_key, from_long->session_key);
  EXPECT_EQ(from_short->client_proof, from_long->client_proof);
}

TEST_F(SrpVectorTest, ServerProofsOtherThanTheExpectedOneAreRefused) {
  SrpClient client = make_client();
  ASSERT_TRUE(srp_process_challenge(client, vectors_.bytes("salt"), vectors_.bytes("public_b")));
  std::vector<std::uint8_t> proof = vectors_.bytes("server_proof");
  struct Case {
    const char* name;
    std::vector<std::uint8_t> proof;
  };
  std::vector<std::uint8_t> one_byte_off = proof;
  one_byte_off[40] ^= 0x01;
  const Case cases[] = {
      {"one byte off", one_byte_off},
      {"63 bytes", {proof.begin(), proof.end() - 1}},
      {"65 bytes",
       [&] {
         auto longer = proof;
         longer.push_back(0);
         return longer;
       }()},
      {"empty", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto verified = srp_verify_server_proof(client, c.proof);
    ASSERT_FALSE(verified);
    EXPECT_EQ(verified.error().describe(), "SRP server proof mismatch");
  }
}

TEST_F(SrpVectorTest, BadChallengesAreRefusedAndLeaveTheChallengeUnprocessed) {
  std::vector<std::uint8_t> prime(384);
  BN_bn2bin(srp_prime(), prime.data());
  std::vector<std::uint8_t> long_b(385, 0);
  long_b[384] = 2;  // the value is small; only the length is wrong
  struct Case {
    const char* name;
    std::vector<std::uint8_t> salt;
    std::vector<std::uint8_t> b;
    const char* message;
  };
  const auto& salt = vectors_.bytes("salt");
  const Case cases[] = {
      {"15-byte salt",
       {salt.begin(), salt.end() - 1},
       vectors_.bytes("public_b"),
       "pairing salt must be 16 bytes, got 15"},
      {"17-byte salt, checked before B",
       [&] {
         auto s = salt;
         s.push_back(0);
         return s;
       }(),
       {},
       "pairing salt must be 16 bytes, got 17"},
      {"385-byte B with a leading zero", salt, long_b, "server SRP public key exceeds 384 bytes"},
      {"B = N", salt, prime, "invalid SRP server public key B mod N == 0"},
      {"B = 0", salt, {0x00}, "invalid SRP server public key B mod N == 0"},
      {"B empty", salt, {}, "invalid SRP server public key B mod N == 0"},
  };
  for (const Case& c : cases) {
    // A fresh client, and one whose earlier challenge succeeded: a failure forgets that one too.
    for (const bool processed_before : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (processed_before ? " / processed before" : ""));
      SrpClient client = make_client();
      if (processed_before) {
        ASSERT_TRUE(
            srp_process_challenge(client, vectors_.bytes("salt"), vectors_.bytes("public_b")));
      }
      auto result = srp_process_challenge(client, c.salt, c.b);
      ASSERT_FALSE(result);
      EXPECT_EQ(result.error().describe(), c.message);
      EXPECT_FALSE(client.challenge_processed());
      auto verified = srp_verify_server_proof(client, vectors_.bytes("server_proof"));
      ASSERT_FALSE(verified);
      EXPECT_EQ(verified.error().describe(), "SRP challenge has not been processed");
    }
  }
}

TEST(SrpClient, AZeroPrivateValueIsRefused) {
  const std::array<std::uint8_t, kSrpPrivateValueSize> zero{};
  const std::string_view identity = "Pair-Setup";
  auto client = srp_client_from_private_value(
      {reinterpret_cast<const std::uint8_t*>(identity.data()), identity.size()}, {}, zero);
  ASSERT_FALSE(client);
  EXPECT_EQ(client.error().describe(), "SRP private key must be positive");
}

TEST(SrpClient, FreshClientsHaveDifferentPublicValuesBelowN) {
  auto first = srp_client_new({}, {});
  auto second = srp_client_new({}, {});
  ASSERT_TRUE(first && second);
  EXPECT_NE(BN_cmp(first->public_value(), second->public_value()), 0);
  EXPECT_LT(BN_cmp(first->public_value(), srp_prime()), 0);
  EXPECT_FALSE(BN_is_zero(first->public_value()));
}

TEST(SrpPad, FillsToThePrimeLengthAndRefusesLongerValues) {
  struct Case {
    std::vector<std::uint8_t> value;
    bool fits;
  };
  std::vector<std::uint8_t> full(384, 0xAB);
  std::vector<std::uint8_t> too_long(385, 0xAB);
  const Case cases[] = {{{}, true}, {{0x05}, true}, {full, true}, {too_long, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value.size());
    BigNum value = big_number_from_bytes(c.value);
    ASSERT_TRUE(value);
    auto padded = srp_pad(value.get());
    ASSERT_EQ(padded.has_value(), c.fits);
    if (!c.fits) {
      EXPECT_EQ(padded.error().describe(), "SRP integer exceeds 384 bytes");
      continue;
    }
    ASSERT_EQ(padded->size(), 384u);
    const std::size_t zeros = 384 - c.value.size();
    EXPECT_EQ(std::vector<std::uint8_t>(padded->begin(), padded->begin() + zeros),
              std::vector<std::uint8_t>(zeros, 0));
    EXPECT_EQ(std::vector<std::uint8_t>(padded->begin() + zeros, padded->end()), c.value);
  }
}

}  // namespace
}  // namespace kestrune::engine
