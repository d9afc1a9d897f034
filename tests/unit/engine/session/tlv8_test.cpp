#include "engine/session/tlv8.hpp"

#include <gtest/gtest.h>

#include "tests/vectors/vector_file.hpp"

namespace kestrune::engine {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::VectorFile;

Bytes counting(std::size_t size) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i);
  return bytes;
}

TEST(Tlv8Encode, WritesTypesInAscendingOrderAndFragmentsLongValues) {
  struct Case {
    const char* name;
    std::map<std::uint8_t, Bytes> items;
    std::vector<std::pair<std::uint8_t, std::size_t>> fragments;  // (type, length) in order
  };
  const Case cases[] = {
      {"empty value", {{5, {}}}, {{5, 0}}},
      {"255 bytes are one fragment", {{3, counting(255)}}, {{3, 255}}},
      {"256 bytes are 255 and 1", {{3, counting(256)}}, {{3, 255}, {3, 1}}},
      {"384 bytes are 255 and 129", {{3, counting(384)}}, {{3, 255}, {3, 129}}},
      {"types sorted", {{19, {1}}, {0, {2}}, {6, {3}}}, {{0, 1}, {6, 1}, {19, 1}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes encoded = tlv8_encode(c.items);
    std::size_t at = 0;
    for (const auto& [type, length] : c.fragments) {
      ASSERT_LE(at + 2, encoded.size());
      EXPECT_EQ(encoded[at], type);
      EXPECT_EQ(encoded[at + 1], length);
      at += 2 + length;
    }
    EXPECT_EQ(at, encoded.size());
    // Decoding joins the fragments back into the values.
    auto decoded = tlv8_decode(encoded);
    ASSERT_TRUE(decoded);
    ASSERT_EQ(decoded->size(), c.items.size());
    auto item = decoded->begin();
    for (const auto& [type, value] : c.items) {
      EXPECT_EQ(item->type, type);
      EXPECT_EQ(item->value, value);
      ++item;
    }
  }
}

TEST(Tlv8Encode, ThePairSetupM1ItemsGiveTheirKnownBytes) {
  EXPECT_EQ(tlv8_encode({{19, {0x10, 0, 0, 0}}, {6, {0x01}}, {0, {0x00}}}),
            VectorFile::from_hex("000100060101130410000000"));
}

TEST(Tlv8Decode, JoinsOnlyDirectlyFollowingItemsOfOneType) {
  struct Case {
    const char* hex;
    std::vector<Tlv8Item> items;
  };
  const Case cases[] = {
      {"", {}},
      {"0500", {{5, {}}}},
      {"060102060103", {{6, {2, 3}}}},
      {"0601020700060103", {{6, {2}}, {7, {}}, {6, {3}}}},
      {"0601020600", {{6, {2}}}},
      {"00000000", {{0, {}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.hex);
    auto decoded = tlv8_decode(VectorFile::from_hex(c.hex));
    ASSERT_TRUE(decoded) << decoded.error().text();
    EXPECT_EQ(*decoded, c.items);
  }
}

TEST(Tlv8Decode, ReportsWhereTheInputIsCutShort) {
  struct Case {
    const char* hex;
    Tlv8Error::Kind kind;
    std::size_t offset;
    std::size_t expected;
    const char* text;
    const char* debug;
  };
  const Case cases[] = {
      {"06010207", Tlv8Error::Kind::truncated_header, 3, 0, "truncated TLV8 header at byte 3",
       "TruncatedHeader(3)"},
      {"06", Tlv8Error::Kind::truncated_header, 0, 0, "truncated TLV8 header at byte 0",
       "TruncatedHeader(0)"},
      {"06050102", Tlv8Error::Kind::truncated_value, 2, 5,
       "truncated TLV8 value at byte 2: expected 5 bytes",
       "TruncatedValue { offset: 2, expected: 5 }"},
      {"0500"
       "03ff",
       Tlv8Error::Kind::truncated_value, 4, 255,
       "truncated TLV8 value at byte 4: expected 255 bytes",
       "TruncatedValue { offset: 4, expected: 255 }"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.hex);
    auto decoded = tlv8_decode(VectorFile::from_hex(c.hex));
    ASSERT_FALSE(decoded);
    EXPECT_EQ(decoded.error().kind(), c.kind);
    EXPECT_EQ(decoded.error().offset(), c.offset);
    EXPECT_EQ(decoded.error().expected(), c.expected);
    EXPECT_EQ(decoded.error().text(), c.text);
    EXPECT_EQ(decoded.error().debug_text(), c.debug);
    EXPECT_EQ(decoded.error().to_error().describe(), c.text);
  }
}

TEST(Tlv8Lookups, FindTheErrorItemAndTheFirstItemOfAType) {
  struct Case {
    const char* hex;
    const char* error;  // nullptr: no error item
  };
  const Case cases[] = {
      {"060102", nullptr},
      {"060102070102", "HomePod pairing error code 2"},
      {"0700", "HomePod pairing error code 0"},
      {"070206ff", "HomePod pairing error code 6"},
      {"0701030601020701ff", "HomePod pairing error code 3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.hex);
    auto items = tlv8_decode(VectorFile::from_hex(c.hex));
    ASSERT_TRUE(items);
    auto checked = check_pairing_error_item(*items);
    EXPECT_EQ(checked.has_value(), c.error == nullptr);
    if (c.error) {
      EXPECT_EQ(checked.error().describe(), c.error);
    }
  }

  auto items = tlv8_decode(VectorFile::from_hex("0601020700060104"));
  ASSERT_TRUE(items);
  auto state = require_tlv_item(*items, 6, "State");
  ASSERT_TRUE(state);
  EXPECT_EQ(Bytes(state->begin(), state->end()), Bytes{2});
  auto salt = require_tlv_item(*items, 2, "Salt");
  ASSERT_FALSE(salt);
  EXPECT_EQ(salt.error().describe(), "pairing response missing Salt");
}

}  // namespace
}  // namespace kestrune::engine
