#include "engine/rtsp/rtsp_text.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <optional>

namespace kestrune::engine {
namespace {

TEST(UnsignedDecimal, AcceptsAnOptionalPlusAndDigitsUpToTheLimit) {
  struct Case {
    const char* text;
    std::uint64_t max;
    std::optional<std::uint64_t> value;
  };
  constexpr std::uint64_t u32 = std::numeric_limits<std::uint32_t>::max();
  constexpr std::uint64_t u64 = std::numeric_limits<std::uint64_t>::max();
  const Case cases[] = {
      {"0", u32, 0},
      {"+7", u32, 7},
      {"007", u32, 7},
      {"4294967295", u32, 4294967295u},
      {"4294967296", u32, std::nullopt},
      {"65535", 0xFFFF, 65535},
      {"65536", 0xFFFF, std::nullopt},
      {"18446744073709551615", u64, u64},
      {"18446744073709551616", u64, std::nullopt},
      {"99999999999999999999999", u64, std::nullopt},
      {"", u32, std::nullopt},
      {"+", u32, std::nullopt},
      {"++1", u32, std::nullopt},
      {"-1", u32, std::nullopt},
      {"1a", u32, std::nullopt},
      {" 1", u32, std::nullopt},
      {"1 ", u32, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto parsed = parse_unsigned_decimal(c.text, c.max);
    ASSERT_EQ(parsed.has_value(), c.value.has_value());
    if (c.value) {
      EXPECT_EQ(*parsed, *c.value);
    }
  }
}

TEST(WhiteSpace, TrimsUnicodeWhiteSpaceAtBothEndsOnly) {
  struct Case {
    const char* text;
    const char* trimmed;
  };
  const Case cases[] = {
      {"  value\t", "value"},
      {"\r\n\v\fvalue", "value"},
      {"a b", "a b"},
      {"\xC2\xA0value\xC2\xA0", "value"},          // U+00A0 no-break space
      {"\xE3\x80\x80value\xE2\x80\xA8", "value"},  // U+3000, U+2028
      {"\xE2\x80\x8Bvalue", "\xE2\x80\x8Bvalue"},  // U+200B is not white space
      {"value\xC3\xA9", "value\xC3\xA9"},          // a letter with a two-byte form stays
      {"   ", ""},
      {"", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(trim_white_space(c.text), c.trimmed);
  }
}

TEST(Utf8, RefusesMalformedSequences) {
  struct Case {
    std::string bytes;
    bool valid;
  };
  const Case cases[] = {
      {"plain ascii", true},
      {"\xC3\xA9", true},
      {"\xF0\x9F\x8E\xB5", true},
      {"\xC3", false},              // cut short
      {"\xC0\xAF", false},          // overlong
      {"\xE0\x80\xAF", false},      // overlong three-byte form
      {"\xED\xA0\x80", false},      // surrogate
      {"\xF4\x90\x80\x80", false},  // above U+10FFFF
      {"\xFF", false},
      {"a\x80", false},  // stray continuation byte
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes);
    EXPECT_EQ(
        is_valid_utf8({reinterpret_cast<const std::uint8_t*>(c.bytes.data()), c.bytes.size()}),
        c.valid);
  }
}

}  // namespace
}  // namespace kestrune::engine
