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

}  // namespace
}  // namespace kestrune::engine
