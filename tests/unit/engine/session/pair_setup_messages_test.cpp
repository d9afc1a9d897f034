// The pair-setup messages the sender writes and the checks it makes on the receiver's answers.
// The exchange itself runs against the loopback receiver in tests/integration/pairing.

#include <gtest/gtest.h>

#include "engine/session/pair_setup.hpp"
#include "engine/srp/srp_group.hpp"
#include "tests/vectors/vector_file.hpp"

namespace kestrune::engine {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::VectorFile;

// Concatenates raw TLV8 pieces written as hex, with long values given by size.
Bytes tlv(std::initializer_list<Bytes> pieces) {
  Bytes bytes;
  for (const Bytes& piece : pieces) bytes.insert(bytes.end(), piece.begin(), piece.end());
  return bytes;
}

Bytes item(std::uint8_t type, const Bytes& value) {
  // Reserved and pushed, not list-initialised then grown: GCC 12 at -O3 reports a false
  // out-of-bounds copy (-Warray-bounds) for the grown two-byte vector.
  Bytes bytes;
  bytes.reserve(2 + value.size());
  bytes.push_back(type);
  bytes.push_back(static_cast<std::uint8_t>(value.size()));
  bytes.insert(bytes.end(), value.begin(), value.end());
  return bytes;
}

// An item whose value is longer than one fragment, written as fragments.
Bytes long_item(std::uint8_t type, std::size_t size) {
  return tlv8_encode({{type, Bytes(size, 0x5A)}});
}

TEST(PairSetupBodies, M1IsTheTwelveKnownBytes) {
  EXPECT_EQ(pair_setup_m1_body(), VectorFile::from_hex("000100060101130410000000"));
}

TEST(PairSetupBodies, M3HoldsPaddedAInTwoFragmentsThenTheProofAndState) {
  const Bytes padded_a(384, 0xA1);
  const Bytes proof(64, 0xB2);
  const Bytes body = pair_setup_m3_body(padded_a, proof);
  ASSERT_EQ(body.size(), 457u);
  EXPECT_EQ(body[0], 0x03);
  EXPECT_EQ(body[1], 0xFF);
  EXPECT_EQ(body[257], 0x03);
  EXPECT_EQ(body[258], 0x81);
  EXPECT_EQ(body[388], 0x04);
  EXPECT_EQ(body[389], 0x40);
  EXPECT_EQ(Bytes(body.end() - 3, body.end()), (Bytes{0x06, 0x01, 0x03}));
  auto items = tlv8_decode(body);
  ASSERT_TRUE(items);
  EXPECT_EQ(*require_tlv_item(*items, 3, "PublicKey").value().data(), 0xA1);
  EXPECT_EQ(require_tlv_item(*items, 3, "PublicKey")->size(), 384u);
}

TEST(PairSetupM2, ChecksErrorStateSaltAndPublicKeyInThisOrder) {
  const Bytes salt = item(2, Bytes(16, 1));
  const Bytes state = item(6, {2});
  const Bytes b = long_item(3, 384);
  struct Case {
    const char* name;
    Bytes body;
    const char* error;  // nullptr: accepted
  };
  const Case cases[] = {
      {"complete", tlv({salt, b, state}), nullptr},
      {"error item wins over everything", tlv({salt, b, state, item(7, {6})}),
       "HomePod pairing error code 6"},
      {"state of two bytes", tlv({salt, b, item(6, {2, 0})}), "pairing M2 has wrong state"},
      {"state 3", tlv({salt, b, item(6, {3})}), "pairing M2 has wrong state"},
      {"state with an empty second fragment", tlv({salt, b, item(6, {2}), item(6, {})}), nullptr},
      {"no state", tlv({salt, b}), "pairing response missing State"},
      {"17-byte salt", tlv({item(2, Bytes(17, 1)), b, state}), "pairing M2 Salt must be 16 bytes"},
      {"no salt", tlv({b, state}), "pairing response missing Salt"},
      {"383-byte public key", tlv({salt, long_item(3, 383), state}), nullptr},
      {"385-byte public key", tlv({salt, long_item(3, 385), state}),
       "pairing M2 public key exceeds 384 bytes"},
      {"no public key", tlv({salt, state}), "pairing response missing PublicKey"},
      {"second salt ignored", tlv({salt, b, state, item(2, Bytes(3, 1))}), nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto items = tlv8_decode(c.body);
    ASSERT_TRUE(items);
    auto m2 = check_pair_setup_m2(*items);
    ASSERT_EQ(m2.has_value(), c.error == nullptr) << (m2 ? "" : m2.error().describe());
    if (c.error) {
      EXPECT_EQ(m2.error().describe(), c.error);
    } else {
      EXPECT_EQ(m2->salt, Bytes(16, 1));
    }
  }
}

TEST(PairSetupM4, ChecksErrorStateAndTheProofAgainstTheClient) {
  const VectorFile vectors = VectorFile::load("srp_exchange.txt");
  const auto& a = vectors.bytes("private_a");
  auto client = srp_client_from_private_value(
      vectors.bytes("identity"), vectors.bytes("password"),
      std::span<const std::uint8_t, kSrpPrivateValueSize>(a.data(), kSrpPrivateValueSize));
  ASSERT_TRUE(client);
  ASSERT_TRUE(srp_process_challenge(*client, vectors.bytes("salt"), vectors.bytes("public_b")));
  const Bytes proof = vectors.bytes("server_proof");
  Bytes altered = proof;
  altered[0] ^= 0xFF;
  const Bytes state = item(6, {4});
  struct Case {
    const char* name;
    Bytes body;
    const char* error;
  };
  const Case cases[] = {
      {"valid proof", tlv({item(4, proof), state}), nullptr},
      {"error item", tlv({item(4, proof), state, item(7, {2})}), "HomePod pairing error code 2"},
      {"state 5", tlv({item(4, proof), item(6, {5})}), "pairing M4 has wrong state"},
      {"no state", tlv({item(4, proof)}), "pairing response missing State"},
      {"no proof", tlv({state}), "pairing response missing Proof"},
      {"32-byte proof", tlv({item(4, Bytes(proof.begin(), proof.begin() + 32)), state}),
       "pairing M4 Proof must be 64 bytes"},
      {"one byte differs", tlv({item(4, altered), state}), "SRP server proof mismatch"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto items = tlv8_decode(c.body);
    ASSERT_TRUE(items);
    auto m4 = check_pair_setup_m4(*items, *client);
    ASSERT_EQ(m4.has_value(), c.error == nullptr) << (m4 ? "" : m4.error().describe());
    if (c.error) {
      EXPECT_EQ(m4.error().describe(), c.error);
    }
  }
}

}  // namespace
}  // namespace kestrune::engine
